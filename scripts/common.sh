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

# build_extension PYTHON CMAKE_ARGS...: configures and builds the extension
# for PYTHON in $work/build (log in $work/cmake.log) and sets $module to the
# built file.
build_extension() {
    local python=$1 generator=() suffix
    shift
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S "$repo" -B "$work/build" "${generator[@]}" -DPython_EXECUTABLE="$python" "$@" \
        >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log" >&2; exit 2; }
    cmake --build "$work/build" -j"$(nproc)" >>"$work/cmake.log" 2>&1 ||
        { cat "$work/cmake.log" >&2; exit 2; }
    suffix=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    module=$work/build/local$suffix
    [[ -f $module ]] || { say "no $module after the build"; exit 2; }
}

# assemble_package: sets $pkg to $work/pkg, holding a copy of the pure-Python
# sources with $module in place of an installed extension.
assemble_package() {
    pkg=$work/pkg
    rm -rf "$pkg"
    mkdir -p "$pkg"
    cp -R "$repo/src/ruk" "$repo/src/ruk_common" "$pkg/"
    find "$pkg" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
    cp "$module" "$pkg/ruk/compute/strategies/"
}
