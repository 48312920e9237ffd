# Shared by the check scripts: sourced after `say` is defined.

# install_missing PACKAGE...: installs Debian packages when running as root,
# otherwise says what is missing and exits 2.
install_missing() {
    (($#)) || return 0
    if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        say "installing $*"
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y -qq "$@" >/dev/null ||
            { apt-get update -qq && apt-get install -y -qq "$@" >/dev/null; }
    else
        say "missing $* (on Debian: apt-get install $*)"
        exit 2
    fi
}

# make_workdir NAME: sets $work to $RUK_CHECK_DIR (kept) or to a temporary
# directory removed on exit.
make_workdir() {
    if [[ -n ${RUK_CHECK_DIR:-} ]]; then
        work=$RUK_CHECK_DIR
        mkdir -p "$work"
    else
        work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
        trap 'rm -rf "$work"' EXIT
    fi
}
