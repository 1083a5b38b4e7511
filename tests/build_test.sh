#!/bin/sh
# Builds that a user makes beside the usual one.
#   build_test.sh board SRC BUILD: pinctl built against a board's own
#     libvarnel.so and header, here a copy of the stand-in kept apart.
#   build_test.sh install SRC BUILD: pinctl installed under a prefix, then
#     the simulated board (component simboard), which changes nothing that
#     pinctl loads, and pinctl run on it from there with "pinsim run".
# In a cross build, PINCTL_TEST_TOOLCHAIN names its toolchain file and
# PINCTL_TEST_LAUNCHER the emulator that runs what it builds.
set -eu
mode=$1 src=$2 build=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PINSIM_DIR="$work/board"

expected() {
    for p in 0 1 6 7 8 12 13 14 15 16 17 18 19 23 26; do
        printf 'Pin:%d, Direction:INPUT, Value:0\n' "$p"
    done
}

launch() {
    ${PINCTL_TEST_LAUNCHER:-} "$@"
}

# check_info COMMAND...: COMMAND info all reports a fresh simulated board.
check_info() {
    expected >"$work/expected"
    launch "$@" info all >"$work/actual"
    cmp "$work/expected" "$work/actual"
}

case $mode in
board)
    mkdir -p "$work/sdk/lib" "$work/sdk/include"
    cp "$build/libvarnel.so" "$work/sdk/lib/"
    cp "$src/src/pinaccess/varnel.h" "$work/sdk/include/"
    cmake -S "$src" -B "$work/build" -DPINCTL_BOARD_LIBRARY="$work/sdk/lib/libvarnel.so" \
        -DPINCTL_BOARD_INCLUDE="$work/sdk/include" \
        ${PINCTL_TEST_TOOLCHAIN:+-DCMAKE_TOOLCHAIN_FILE="$PINCTL_TEST_TOOLCHAIN"} \
        >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    cmake --build "$work/build" -j 2 >>"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    # The stand-in is not built, and pinctl loads the board's library.
    if find "$work/build" -name 'libvarnel.so*' | grep -q .; then
        echo "the stand-in was built"; exit 1
    fi
    [ ! -e "$work/build/simboard" ] || { echo "simboard configured"; exit 1; }
    if [ -z "${PINCTL_TEST_LAUNCHER:-}" ]; then
        ldd "$work/build/pinctl" | grep -q "$work/sdk/lib/libvarnel.so" || { ldd "$work/build/pinctl"; exit 1; }
    else
        # ldd cannot load a cross-built program: read where it looks instead.
        readelf -d "$work/build/pinctl" >"$work/dynamic"
        grep -q 'NEEDED.*\[libvarnel\.so\]' "$work/dynamic" &&
            grep -E 'R(UN)?PATH' "$work/dynamic" | grep -q "$work/sdk/lib" || { cat "$work/dynamic"; exit 1; }
    fi
    check_info "$work/build/pinctl"
    ;;
install)
    # A default install: pinctl, its manual page and completion, never the
    # stand-in library nor pinsim, which come only as asked for by name.
    prefix=$work/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null
    for f in bin/pinctl share/man/man1/pinctl.1 share/bash-completion/completions/pinctl; do
        [ -e "$prefix/$f" ] || { echo "not installed: $f"; ls -R "$prefix"; exit 1; }
    done
    for f in lib/libvarnel.so bin/pinsim; do
        [ ! -e "$prefix/$f" ] || { echo "installed without being asked for: $f"; exit 1; }
    done
    # Its manual page names no page that only the linux board's install has.
    if grep -q 'Xr varnel-pinmap' "$prefix/share/man/man1/pinctl.1"; then
        echo "the installed pinctl.1 names varnel-pinmap(5)"; exit 1
    fi
    # What pinctl loads, with the loader looking in the prefix's lib/ (as in
    # /usr/local/lib after ldconfig), is the same after the simulated board
    # is installed: its library goes elsewhere. (ldd cannot load a
    # cross-built program, but the listing of lib/ still tells.)
    export LD_LIBRARY_PATH="$prefix/lib"
    loads() { ldd "$prefix/bin/pinctl" 2>&1 | sed 's/ (0x[0-9a-f]*)$//'; ls "$prefix"/lib/lib* 2>&1 || true; }
    loads >"$work/loads.before"
    cmake --install "$build" --prefix "$prefix" --component simboard >/dev/null
    for f in lib/pinctl-sim/libvarnel.so bin/pinsim share/man/man1/pinsim.1; do
        [ -e "$prefix/$f" ] || { echo "not installed: $f"; ls -R "$prefix"; exit 1; }
    done
    loads >"$work/loads.after"
    diff "$work/loads.before" "$work/loads.after" || { echo "the simulated board changed what pinctl loads"; exit 1; }
    # No installed binary carries a search path but pinsim, to its board.
    if readelf -d "$prefix/bin/pinctl" "$prefix/lib/pinctl-sim/libvarnel.so" | grep -E 'R(UN)?PATH'; then
        echo "an installed binary keeps a search path"; exit 1
    fi
    readelf -d "$prefix/bin/pinsim" | grep -E 'R(UN)?PATH' |
        grep -q '\[\$ORIGIN/\.\./lib/pinctl-sim\]$' || { readelf -d "$prefix/bin/pinsim"; exit 1; }
    launch "$prefix/bin/pinsim" show 6 | grep -qx 'pin=6 direction=in level=0 pwm=off irq=off fail=0'
    check_info "$prefix/bin/pinsim" run ${PINCTL_TEST_LAUNCHER:-} "$prefix/bin/pinctl"
    ;;
*)
    echo "usage: $0 board|install SRC BUILD" >&2
    exit 2
    ;;
esac
echo "ok: $mode"
