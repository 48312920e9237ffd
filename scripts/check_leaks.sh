#!/usr/bin/env bash
# Reference-leak and memory-growth check of the local strategy extension.
#
# Builds the extension against a debug CPython 3.11 (Debian's python3.11-dbg,
# which has sys.gettotalrefcount) in a scratch directory, puts the built module
# beside a copy of the pure-Python package, and runs tests/leak_check.py under
# that interpreter: every entry point in loops, success and error paths, with
# the reference total, the C heap and the resident set watched. No JVM and no
# PySpark are needed. Takes about two minutes on two cores.
#
# Usage: scripts/check_leaks.sh [leak_check.py options, e.g. --iterations 500]
# Environment:
#   RUK_DEBUG_PYTHON  the debug interpreter (default: python3.11-dbg)
#   RUK_CHECK_DIR     scratch directory to keep (default: a temporary one, removed)
# Exit status: 0 clean, 1 a leak, 2 a misbehaving case or a set-up problem.
set -euo pipefail
started=$SECONDS
repo=$(cd "$(dirname "$0")/.." && pwd)
python_dbg=${RUK_DEBUG_PYTHON:-python3.11-dbg}

say() { printf 'check_leaks: %s\n' "$*" >&2; }
# shellcheck source=scripts/common.sh
source "$repo/scripts/common.sh"

# --- tools: the debug interpreter with its headers, CMake, a C++ compiler ------------
missing=()
if ! command -v "$python_dbg" >/dev/null; then
    missing+=(python3.11-dbg python3.11-dev)
elif ! "$python_dbg" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    missing+=(python3.11-dev libpython3.11-dbg)
fi
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
install_missing "${missing[@]}"
python_dbg=$(command -v "$python_dbg")
if ! "$python_dbg" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount") or sys.version_info[:2] != (3, 11))'; then
    say "$python_dbg is not a debug CPython 3.11"
    exit 2
fi

# --- scratch directory ------------------------------------------------------------------
make_workdir ruk-leaks

# --- build ---------------------------------------------------------------------------------
# CMake passes imported include directories as -isystem. Debian's
# /usr/include/python3.11d holds symbolic links into /usr/include/python3.11,
# and GCC, following them, then takes the release pyconfig.h: the module
# would be built without Py_DEBUG and would not report its reference changes
# to the interpreter's total. Plain -I keeps the debug pyconfig.h.
say "building against $python_dbg in $work/build"
build_extension "$python_dbg" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_NO_SYSTEM_FROM_IMPORTED=ON
if ! nm -D --undefined-only "$module" | grep -w _Py_RefTotal >/dev/null; then
    say "$module was compiled without Py_DEBUG (it does not touch _Py_RefTotal)"
    exit 2
fi

# --- the package: the pure-Python sources and the debug build of the extension ---------------
assemble_package

# --- run -------------------------------------------------------------------------------------
# malloc_debug: every Python allocation goes through malloc, so the heap
# figures see objects too; no tcache: freed chunks parked in glibc's
# per-thread cache count as "in use" and would blur the heap figures.
run() {
    (cd "$work" && env PYTHONPATH="$pkg" PYTHONMALLOC=malloc_debug PYTHONDONTWRITEBYTECODE=1 \
        GLIBC_TUNABLES=glibc.malloc.tcache_count=0 \
        "$python_dbg" -X faulthandler "$repo/tests/leak_check.py" "$@")
}
say "self-test of the detectors"
run --self-test --iterations 1000 >"$work/self-test.log" 2>&1 ||
    { cat "$work/self-test.log"; say "the detectors do not work"; exit 2; }
status=0
run "$@" || status=$?
say "finished in $((SECONDS - started)) s (exit $status)"
exit $status
