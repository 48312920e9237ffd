#!/usr/bin/env bash
# Installs what the test suite needs on a Debian machine, then runs it:
#   ./run_tests.sh [--install-only | PYTEST_ARGS...]
# Debian packages are installed only when missing (as root, else through sudo);
# installed ones are never upgraded, and apt's lists are updated only when
# something is to be installed.
set -euo pipefail

# A JDK for PySpark and a compiler for the extension: what the package needs
# (quickstart.sh installs these alone).
ENGINE_PACKAGES=(openjdk-17-jdk-headless g++)
# The tests also need real JDBC drivers (the SQLite one loads its native part via JNI).
PACKAGES=("${ENGINE_PACKAGES[@]}" libxerial-sqlite-jdbc-java libxerial-sqlite-jdbc-jni libpostgresql-jdbc-java)
# Debian's own python3 also needs its headers and venv module.
DEBIAN_PYTHON_PACKAGES=(python3-dev python3-venv)

say() { echo "${0##*/}: $*" >&2; }

# missing_packages PACKAGE...: prints those not installed, one a line.
missing_packages() {
    local package
    for package; do
        [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) == installed ]] ||
            echo "$package"
    done
}

# install_packages PACKAGE...: installs the missing ones; refuses (status 1)
# when that would upgrade an installed package, a dependency included.
install_packages() {
    local missing upgrades root=()
    missing=$(missing_packages "$@")
    [[ -n $missing ]] || return 0
    # shellcheck disable=SC2086  # one package name a word
    set -- $missing
    if [[ $(id -u) != 0 ]]; then
        command -v sudo >/dev/null || { say "missing Debian packages, to be installed as root: $*"; return 1; }
        root=(sudo)
    fi
    say "installing $*"
    "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    # A simulated install lists an upgrade as "Inst NAME [OLD] (NEW ...)".
    upgrades=$("${root[@]}" apt-get install -s --no-upgrade "$@" | sed -n 's/^Inst \([^ ]*\) \[\([^]]*\)\] (\([^ ]*\).*/\1 \2 -> \3/p')
    if [[ -n $upgrades ]]; then
        say "installing $* would upgrade installed packages, so nothing was installed:"
        sed 's/^/    /' <<<"$upgrades" >&2
        say "if these upgrades are fine: apt-get install $*"
        return 1
    fi
    "${root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-upgrade "$@" >/dev/null
}

# pip refuses Debian's own python3 ("externally-managed-environment"): outside
# a virtual environment such an interpreter gets the project's .venv instead.
choose_python() {
    if python3 -c 'import os, sys, sysconfig
sys.exit(sys.prefix == sys.base_prefix
         and os.path.exists(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED")))'; then
        python=python3
    else
        install_packages "${DEBIAN_PYTHON_PACKAGES[@]}"
        [[ -x .venv/bin/python ]] || { say "creating .venv"; python3 -m venv .venv; }
        python=.venv/bin/python
    fi
}

main() {
    cd "$(dirname "$0")"
    install_packages "${PACKAGES[@]}"
    choose_python
    "$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[spark,test]"
    [[ ${1-} == --install-only ]] && return 0
    "$python" -m pytest -q "$@"
}

# Sourced (by quickstart.sh, by the tests), it only defines the functions.
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    main "$@"
fi
