#!/usr/bin/env bash
# The unit tests against a build of the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer.
#
# Builds the extension with GCC and -DRUK_SANITIZE=address,undefined in a
# scratch directory, puts it beside a copy of the pure-Python package, and runs
# the test files that need no JVM with the ASan runtime preloaded into the
# interpreter. Python objects are allocated with plain malloc
# (PYTHONMALLOC=malloc) so that ASan also sees a use after free or an overflow
# of an object the extension released too early. Any sanitizer report fails
# the run, even one from a subprocess a test starts.
#
# Usage: scripts/check_sanitizers.sh [pytest options]
# Environment:
#   RUK_PYTHON     the interpreter to test with (default: python3; CPython 3.11 with pytest)
#   RUK_CHECK_DIR  scratch directory to keep (default: a temporary one, removed)
set -euo pipefail
started=$SECONDS
repo=$(cd "$(dirname "$0")/.." && pwd)

say() { printf 'check_sanitizers: %s\n' "$*" >&2; }
# shellcheck source=scripts/common.sh
source "$repo/scripts/common.sh"

# The interpreter itself, not a wrapper script (pyenv's shims are shell scripts).
if ! python=$("${RUK_PYTHON:-python3}" -c '
import sys, pytest
assert sys.version_info[:2] == (3, 11) and sys.implementation.name == "cpython"
print(sys.executable)' 2>/dev/null); then
    say "${RUK_PYTHON:-python3} must be CPython 3.11 with pytest installed"
    exit 2
fi
missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
install_missing "${missing[@]}"
asan_runtime=$(g++ -print-file-name=libasan.so)
[[ -e $asan_runtime ]] || { say "GCC's libasan.so not found (Debian: apt-get install libasan8)"; exit 2; }

make_workdir ruk-sanitize

# --- build ---------------------------------------------------------------------------------
say "building with address,undefined against $python in $work/build"
build_extension "$python" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug -DRUK_SANITIZE=address,undefined
for runtime in __asan_init __ubsan_handle; do
    nm -D --undefined-only "$module" | grep "$runtime" >/dev/null ||  # all of nm's output read: no SIGPIPE under pipefail
        { say "$module is not instrumented ($runtime missing)"; exit 2; }
done

# --- the package: the pure-Python sources and the instrumented extension ----------------------
assemble_package

# --- run -------------------------------------------------------------------------------------
logs=$work/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
# ASan (preloaded, so it starts with the interpreter) writes its reports to
# files under $logs, from every process. UBSan's runtime only arrives with the
# extension and writes to standard error whatever log_path says; halting on
# the first finding makes it visible in any process: the pytest run itself
# stops, and a subprocess a test starts exits with status 1.
# detect_leaks=0: the interpreter itself does not free everything at exit.
# handle_segv=0: a crash stays a crash (faulthandler shows where) instead of
# ASan taking over the signal in every process a test starts.
sanitized() {
    env PYTHONPATH="$pkg" PYTHONMALLOC=malloc PYTHONDONTWRITEBYTECODE=1 \
        LD_PRELOAD="$asan_runtime" \
        ASAN_OPTIONS="detect_leaks=0:handle_segv=0:log_path=$logs/asan:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$@"
}

# The run must use this build, and both sanitizers must be able to report at
# all: an overflow of a Python-allocated buffer, and an oversized shift in a
# small instrumented library.
imported=$(cd "$work" && sanitized "$python" -c \
    'import ruk.compute.strategies.local as m; print(m.__file__)')
[[ $imported == "$pkg"/* ]] || { say "imported $imported instead of the instrumented build"; exit 2; }
printf 'extern "C" int ruk_shift(int value, int by) { return value << by; }\n' >"$work/canary.cpp"
g++ -shared -fPIC -fsanitize=address,undefined -o "$work/canary.so" "$work/canary.cpp"
(cd "$work" && sanitized "$python" -c '
import ctypes
buffer = ctypes.create_string_buffer(16)
ctypes.memset(ctypes.addressof(buffer), 0, 64)  # overflows a malloc block
' >/dev/null 2>&1) || true
(cd "$work" && sanitized "$python" -c '
import ctypes, sys
ctypes.CDLL(sys.argv[1]).ruk_shift(1, 40)  # shift exponent too large
' "$work/canary.so" >/dev/null 2>"$work/canary.err") || true
if ! grep -qs "heap-buffer-overflow" "$logs"/asan.* || ! grep -qs "runtime error: shift" "$work/canary.err"; then
    say "the sanitizers do not report in this set-up (self-test failed)"
    exit 2
fi
rm -f "$logs"/*

tests=()
# The files that need no JVM (the hostile-argument ones drive the extension hardest).
for name in test_frame test_queries test_sessions_unit test_java_compat test_java_discovery test_jar_provisioning \
    test_hostile_arguments test_hostile_calls test_hostile_module_state test_session_extensions; do
    [[ -f $repo/tests/$name.py ]] && tests+=("tests/$name.py")
done
# Daemon threads ended inside the module at interpreter exit (child processes, no JVM).
tests+=("tests/test_reliability.py::test_interpreter_exit_with_daemon_threads_inside_the_module")
say "running ${tests[*]}"
# --capture=sys: pytest swaps sys.stdout/sys.stderr only, so what the
# sanitizer runtimes write to file descriptor 2 reaches the log below.
status=0
(cd "$repo" && sanitized "$python" -m pytest -q -p no:cacheprovider --capture=sys "${tests[@]}" "$@") \
    2>&1 | tee "$work/pytest.log" || status=$?  # pipefail: pytest's status

found=0
if grep -qE "runtime error:|ERROR: AddressSanitizer|ERROR: LeakSanitizer" "$work/pytest.log"; then
    found=1
fi
for report in $(find "$logs" -type f -size +0 | sort); do
    printf '\n===== %s\n' "$report"
    cat "$report"
    found=1
done
if ((found)); then
    say "sanitizer reports found (see above)"
    status=1
fi
say "finished in $((SECONDS - started)) s (exit $status)"
exit $status
