# Helpers of the suite in the VM (busybox sh), sourced after /kt/board.env.
#
# Sections: begin NAME; any number of checks, each calling fail REASON on a
# mismatch (the first reason is kept); end prints "PASS NAME" or
# "FAIL NAME: REASON".

passed=0 failed=0 sect="" why=""
begin() { sect=$1; why=""; }
fail() { [ -n "$why" ] || why="$*"; }
end() {
    if [ -z "$why" ]; then
        echo "PASS $sect"
        passed=$((passed + 1))
    else
        echo "FAIL $sect: $why"
        failed=$((failed + 1))
    fi
}

# pc ARGS...: runs pinctl; its output lands in $out, its standard error in
# $err, its exit status in $rc. Through files, not pipes: an interrupt
# worker keeps the output it was started with. Bounded: a pinctl that
# hangs is killed after 20 s.
pc() {
    timeout 20 pinctl "$@" >/tmp/kt.out 2>/tmp/kt.err
    rc=$?
    out=$(cat /tmp/kt.out)
    err=$(cat /tmp/kt.err)
}

# expect WHAT GOT WANTED: fail unless GOT is WANTED.
expect() {
    [ "$2" = "$3" ] || fail "$1: got '$2', wanted '$3'"
}

# is RC OUTPUT ARGS...: pinctl ARGS... exits with RC, prints OUTPUT and
# writes nothing on standard error.
is() {
    local rcw=$1 outw=$2
    shift 2
    pc "$@"
    expect "pinctl $* status" "$rc" "$rcw"
    expect "pinctl $* output" "$out" "$outw"
    expect "pinctl $* stderr" "$err" ""
}

# The simulated chips: value and pull of a line of the main chip (or of
# the side chip with sideValue), and the line as the kernel reports it.
value() { cat "$SIM_DIR/sim_gpio$1/value"; }
sideValue() { cat "$SIDE_DIR/sim_gpio$1/value"; }
pull() { echo "pull-$2" >"$SIM_DIR/sim_gpio$1/pull"; }
sidePull() { echo "pull-$2" >"$SIDE_DIR/sim_gpio$1/pull"; }
line() { uapiline info "/dev/$SIM_CHIP" "$1"; }

# alive PID: the process runs (a zombie has ended).
alive() {
    [ -n "$1" ] && [ -r "/proc/$1/stat" ] || return 1
    case $(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null) in
    Z | X | "") return 1 ;;
    esac
}

# recordPid PIN pwm|irq: the process id in the pin's worker record.
recordPid() { head -n 1 "/tmp/pin$1_$2_pid" 2>/dev/null; }

# settle COUNT FILE: waits (at most 10 s) until FILE has COUNT lines, then
# a little longer for any extra line; prints the count.
settle() {
    local i=0 n
    while [ $i -lt 100 ]; do
        n=$(wc -l 2>/dev/null <"$2" || echo 0)
        [ "$n" -ge "$1" ] && break
        usleep 100000
        i=$((i + 1))
    done
    usleep 300000
    wc -l 2>/dev/null <"$2" || echo 0
}

# Output changes of a line, traced by the kernel (gpio_value events).
# traceOn PIN arms the trace for line PIN of the main chip; traceOff stops
# it and prints one "SECONDS VALUE" per change of the driven level.
simBase() {
    local c
    for c in /sys/class/gpio/gpiochip*; do
        [ "$(cat "$c/label")" = varnel-main ] && cat "$c/base"
    done
}
traceOn() {
    local t=/sys/kernel/tracing gpio
    gpio=$(($(simBase) + $1))
    echo 0 >$t/tracing_on
    echo >$t/trace
    echo 2048 >$t/buffer_size_kb
    echo "gpio == $gpio && get == 0" >$t/events/gpio/gpio_value/filter
    echo 1 >$t/events/gpio/gpio_value/enable
    echo 1 >$t/tracing_on
}
traceOff() {
    local t=/sys/kernel/tracing
    echo 0 >$t/tracing_on
    echo 0 >$t/events/gpio/gpio_value/enable
    # "...  123.456789: gpio_value: 496 set 1": keep the changes of level.
    sed -n 's/.* \([0-9]*\.[0-9]*\): gpio_value: [0-9]* set \([01]\)$/\1 \2/p' $t/trace |
        awk '$2 != last { print; last = $2 }'
}

# The processes holding a requested line of any chip.
lineHolders() {
    local d f
    for d in /proc/[0-9]*; do
        for f in "$d"/fd/*; do
            [ "$(readlink "$f" 2>/dev/null)" = "anon_inode:gpio-line" ] && echo "${d#/proc/}"
        done
    done | sort -u
}

# The keepers running (one per user at most), and root's.
keepers() { ps -o pid,comm | awk '$2 == "varnel-keeper" { print $1 }' | tr '\n' ' '; }
keeper() { keepers | cut -d' ' -f1; }

# waitUntil TENTHS COMMAND...: runs COMMAND every 0.1 s until it succeeds,
# TENTHS times at most.
waitUntil() {
    local n=$1 i=0
    shift
    while ! "$@"; do
        i=$((i + 1))
        [ $i -ge "$n" ] && return 1
        usleep 100000
    done
}

# Milliseconds since boot.
nowMs() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }
# uptimeMs: the same into $ms, starting no process (to time what is short).
uptimeMs() {
    local up rest
    read up rest </proc/uptime
    ms=$((${up%.*} * 1000 + 1${up#*.}0 - 1000))
}

# makeSimChip NAME LINES LABEL: one more live gpio-sim chip; prints its
# device name. removeSimChip NAME takes it away again.
makeSimChip() {
    local c=/sys/kernel/config/gpio-sim/$1
    mkdir "$c" "$c/bank0" && echo "$2" >"$c/bank0/num_lines" && echo "$3" >"$c/bank0/label" &&
        echo 1 >"$c/live" && cat "$c/bank0/chip_name"
}
removeSimChip() {
    local c=/sys/kernel/config/gpio-sim/$1
    echo 0 >"$c/live" && rmdir "$c/bank0" "$c"
}
# simPull NAME LINE up|down: the pull of a line of such a chip, wherever
# the chip is now (taken offline and back, it has a new device).
simPull() {
    local c=/sys/kernel/config/gpio-sim/$1
    echo "pull-$3" >"/sys/devices/platform/$(cat "$c/dev_name")/$(cat "$c/bank0/chip_name")/sim_gpio$2/pull"
}

# errno values that differ between processors.
case $(uname -m) in
mips*) EADDRINUSE=125 ETIMEDOUT=145 ;;
*) EADDRINUSE=98 ETIMEDOUT=110 ;;
esac
EPERM=1 EMFILE=24 EBUSY=16

# sigMask FIELD FILE: the low 32 bits of a signal mask line of a
# /proc/PID/status copy (MIPS has 128 signals, x86 64), as a number.
sigMask() { printf '%d' "0x$(sed -n "s/^$1:[[:space:]]*//p" "$2" | sed 's/.*\(.\{8\}\)$/\1/')"; }

# The other user (nobody), for what another local user may try; asUser UID
# for any user. In the background, call `uapiline as UID ...` itself, so
# that $! is the program's own id, not a subshell's.
OTHER=65534
asOther() { uapiline as $OTHER "$@"; }
asUser() { uapiline as "$@"; }

# noKeeper: ends our keeper, its lines made inputs; fails if one stays.
noKeeper() {
    pinctl setd all in >/dev/null 2>&1
    waitUntil 30 sh -c '[ -z "$(ps -o comm | grep varnel-keeper)" ]'
}
