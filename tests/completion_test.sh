#!/usr/bin/env bash
# The bash completion of pinctl, driven as bash drives it, against the
# built pinctl on a board of its own.
#   completion_test.sh SRC PINCTL
set -u
src=$1 pinctl=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PINSIM_DIR=$work/board
. "$src/completion/pinctl"

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

prog=$pinctl
expect "pwm pwmstop" pw
expect "0 1 6 7 8 12 13 14 15 16 17 18 19 23 26 all" info ""
expect "1 12 13 14 15 16 17 18 19" get 1
expect "in out" setd 6 ""
expect "rising" irq 6 r
expect "both" irq 6 b

# The pins are what pinctl reports, not a list of the completion's own:
# those of "info all", else those of the usage text.
prog=$work/reporting
printf '#!/bin/sh\nprintf "Pin:3, Direction:INPUT, Value:0 IRQ\\n:\\tProcess Id:9\\n\\tType:Both\\nPin:30, Direction:OUTPUT\\n"\n' >"$prog"
chmod +x "$prog"
expect "3 30" getd ""
prog=$work/silent
printf '#!/bin/sh\n[ "$1" = help ] && printf "\\t<pin> is one of\\n\\t\\t4, 5, all\\n"\nexit 255\n' >"$prog"
chmod +x "$prog"
expect "4 5 all" set ""

[ $failed -eq 0 ] && echo "ok: completion"
exit $failed
