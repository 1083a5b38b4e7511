#!/usr/bin/env bash
# The bash completion of pinctl, driven as bash drives it, against the
# built pinctl on a board of its own.
#   completion_test.sh SRC PINCTL BOARD     (BOARD: sim or linux)
set -u
src=$1 pinctl=$2 board=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PINSIM_DIR=$work/board
. "$src/completion/pinctl"
# Answers in time even on a machine under load; the bound's own case last.
_pinctl_bound=60

failed=0
# expect WANT WORD...: completing the last WORD after PROG gives WANT.
expect() {
    local want=$1
    shift
    COMP_WORDS=("$prog" "$@")
    COMP_CWORD=$#
    _pinctl
    if [ "${COMPREPLY[*]}" != "$want" ]; then
        echo "$prog $*<TAB>: got '${COMPREPLY[*]}', want '$want'"
        failed=1
    fi
}
written="0 1 6 7 8 12 13 14 15 16 17 18 19 23 26"
# stub NAME LINE...: a stand-in for pinctl, a script of those lines.
stub() {
    prog=$work/$1
    shift
    printf '%s\n' '#!/bin/sh' "$@" >"$prog" && chmod +x "$prog"
}

prog=$pinctl
expect "pwm pwmstop" pw
expect "in out" setd 6 ""
expect "rising" irq 6 r
expect "both" irq 6 b
# The pins of the board pinctl runs on: the simulated board's, or none of
# a linux board whose pin map names only a chip that is not there.
if [ "$board" = linux ]; then
    echo "3 /dev/gpiochip-absent 0" >"$work/absent.map"
    VARNEL_PINMAP=$work/absent.map expect "all" info ""
else
    expect "$written all" info ""
    expect "1 12 13 14 15 16 17 18 19" get 1
fi

# A board with other pins (here those its pin map lists): each pin asked
# about once, with "setd PIN" and nothing else; asked again for another map.
stub mapped 'echo "$*" >>"$VARNEL_PINMAP.asked"' 'read -r pins <"$VARNEL_PINMAP"' \
    'case " $pins " in *" $2 "*) echo "**ERROR** No <val> specified for setd" ;;' \
    '*) echo "**ERROR** Invalid <pin> : $2" ;; esac' 'echo Usage' 'exit 255'
echo "3 20" >"$work/a.map"
echo "5" >"$work/b.map"
VARNEL_PINMAP=$work/a.map expect "3 20 all" set ""
VARNEL_PINMAP=$work/a.map expect "3 20" getd ""
VARNEL_PINMAP=$work/b.map expect "5" irq ""
[ "$(cat "$work/a.map.asked")" = "$(seq 0 26 | sed 's/^/setd /')" ] || { echo "asked other things"; failed=1; }

# The written pins when pinctl gives no answer: it cannot load its board,
# or it hangs (stopped at the bound, nothing of it left running; stopped
# before it even started, it wrote no process id).
stub noboard 'echo "cannot open shared object file" >&2' 'exit 127'
expect "$written" get ""
stub hung "echo \$\$ >$work/hung.pid" 'exec sleep 20'
_pinctl_bound=1
started=$SECONDS
expect "$written all" info ""
[ $((SECONDS - started)) -le 4 ] || { echo "the bound was not kept"; failed=1; }
pid=$(cat "$work/hung.pid" 2>/dev/null)
case ${pid:+$(cut -d' ' -f3 "/proc/$pid/stat" 2>/dev/null)} in
"" | Z) ;;
*) echo "the hung pinctl still runs"; failed=1 ;;
esac

[ $failed -eq 0 ] && echo "ok: completion"
exit $failed
