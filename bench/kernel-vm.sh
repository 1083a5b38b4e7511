# The benchmark's part inside the kernel VM (busybox sh, run by bench/kernel
# through tests/kernel/run): one "ROW measure|result|goal|verdict" line per
# figure, verdict met, MISSED or - (not judged; everything in quick mode),
# and one "RATIO name|value" line per comparison with a peer. With /kt/mips
# (the MIPS VM) only the one-shots, of pinctl and of a static pinctl
# (/usr/bin/pinctl-static) against libgpiod's tools.
. /kt/board.env
. /kt/lib.sh
if [ -e /kt/quick ]; then
    quick=1 rounds=5 edges=20 edgeRounds=2 idle=2
else
    quick=0 rounds=200 edges=1000 edgeRounds=20 idle=30
fi
mips=0
[ -e /kt/mips ] && mips=1
row() {
    local verdict=-
    if [ $quick -eq 0 ]; then
        case $4 in 1) verdict=met ;; 0) verdict=MISSED ;; esac
    fi
    echo "ROW $1|$2|$3|$verdict"
}
# holds VALUE LIMIT: 1 if VALUE <= LIMIT, else 0.
holds() { awk -v v="$1" -v l="$2" 'BEGIN { print (v != "-" && v + 0 <= l + 0) ? 1 : 0 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0 || a == "-" || b == "-") print "-"; else printf "%.2f", a / b }'; }
cpuNs() { cat /proc/"$1"/task/*/schedstat | awk '{ s += $1 } END { printf "%d", s }'; }
cpuTicks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
sections=4
[ $mips -eq 1 ] && sections=1
echo "1/$sections one-shot invocations ($rounds rounds)..."
pinctl set 6 1 >/dev/null
cat >/tmp/plan <<PLAN
floor (does nothing)|floor||/usr/bin/bench_floor|
pinctl get 7|ours||/usr/bin/pinctl get 7|
pinctl set 6 1|ours||/usr/bin/pinctl set 6 1|
gpioget gpiochip0 22|peer||/usr/bin/gpioget gpiochip0 22|
gpioset gpiochip0 21=1|peer||/usr/bin/gpioset gpiochip0 21=1|
PLAN
if [ $mips -eq 0 ]; then
    cat >>/tmp/plan <<PLAN
pinctl getd 7|ours||/usr/bin/pinctl getd 7|
pinctl info 7|ours||/usr/bin/pinctl info 7|
pinctl setd 6 out|ours||/usr/bin/pinctl setd 6 out|
PLAN
elif [ -x /usr/bin/pinctl-static ]; then
    cat >>/tmp/plan <<PLAN
static pinctl get 7|ours||/usr/bin/pinctl-static get 7|
static pinctl set 6 1|ours||/usr/bin/pinctl-static set 6 1|
PLAN
fi
bench_invoke /tmp/plan "$rounds" >/tmp/invoke || echo "ROW one-shot run|failed|-|0"
key() { echo "$1" | tr -c 'a-z0-9\n' _; }
while IFS="$(printf '\t')" read -r label ms r goal; do
    eval "ms_$(key "$label")=$ms"
    case $goal in
    floor) row "$label" "$ms ms" "(reference)" - ;;
    peer) row "$label" "${r}x floor ($ms ms)" "(peer)" - ;;
    *) row "$label" "${r}x floor ($ms ms)" "" - ;;
    esac
done </tmp/invoke
# commandOf LABEL: the command of the plan's entry LABEL.
commandOf() { awk -F'|' -v l="$1" '$1 == l { print $4 }' /tmp/plan; }
# calls COMMAND...: the system calls COMMAND makes, with its children's.
calls() { bench_syscalls "$@" || echo -; }
# compare NAME JUDGED OURS PEER: one row each for time and system calls, of
# the commands OURS and PEER (labels of the plan), judged (1) or not (0),
# and a ratio of each.
compare() {
    local name=$1 judged=$2 ours=$3 peer=$4 a b r n m goal=""
    eval "a=\${ms_$(key "$ours"):--} b=\${ms_$(key "$peer"):--}"
    r=$(ratio "$a" "$b")
    [ "$judged" -eq 1 ] && goal="<= 1x"
    row "$ours / ${peer%% *}, time" "${r}x ($a / $b ms)" "$goal" "$([ "$judged" -eq 1 ] && holds "$r" 1 || echo -)"
    echo "RATIO $name|$r"
    n=$(calls $(commandOf "$ours")) m=$(calls $(commandOf "$peer"))
    [ "$judged" -eq 1 ] && goal="<= peer's"
    row "$ours / ${peer%% *}, system calls" "$n / $m" "$goal" "$([ "$judged" -eq 1 ] && holds "$n" "$m" || echo -)"
    echo "RATIO calls-$name|$(ratio "$n" "$m")"
}
compare get/gpioget 1 "pinctl get 7" "gpioget gpiochip0 22"
compare set/gpioset 1 "pinctl set 6 1" "gpioset gpiochip0 21=1"
if [ $mips -eq 0 ]; then
    compare getd/gpioget 1 "pinctl getd 7" "gpioget gpiochip0 22"
    compare info/gpioget 1 "pinctl info 7" "gpioget gpiochip0 22"
    compare setd/gpioset 1 "pinctl setd 6 out" "gpioset gpiochip0 21=1"
elif [ -x /usr/bin/pinctl-static ]; then
    compare static-get/gpioget 0 "static pinctl get 7" "gpioget gpiochip0 22"
    compare static-set/gpioset 0 "static pinctl set 6 1" "gpioset gpiochip0 21=1"
fi
[ $mips -eq 1 ] && exit 0

echo "2/4 interrupt latency, pinctl irq against gpiomon's pipeline ($edges edges each, shuffled rounds)..."
# Both run the same command on both edges of line 8: pinctl as an
# interrupt worker, gpiomon as a user would without it, its output line
# buffered (-b) into a shell loop. One round arms each in turn, in shuffled
# order, and drives $((edges / edgeRounds)) edges through it; the
# latencies of all rounds make the figures.
held() { line 8 | grep -q '^used=1'; }
armed() {
    waitUntil 100 held || return 1
    usleep 100000
}
pinctlRound() {
    pinctl irq 8 both "/usr/bin/bench_stamp /tmp/stamps" >/dev/null && armed &&
        bench_edges "$SIM_DIR/sim_gpio8" $((edges / edgeRounds)) /tmp/stamps 5 /tmp/lat.pinctl >/tmp/edges
    pinctl irqstop 8
}
# gpiomonRound [EDGES [OPTION]]: a round of gpiomon -b (or OPTION).
gpiomonRound() {
    rm -f /tmp/gpiomon.pid
    { sh -c "echo \$\$ >/tmp/gpiomon.pid; exec gpiomon ${2--b} gpiochip0 8" |
        while read -r _; do /usr/bin/bench_stamp /tmp/stamps; done; } &
    local job=$!
    armed && bench_edges "$SIM_DIR/sim_gpio8" "${1:-$((edges / edgeRounds))}" /tmp/stamps 5 /tmp/lat.gpiomon >/tmp/edges
    kill "$(cat /tmp/gpiomon.pid 2>/dev/null)" 2>/dev/null
    wait "$job"
}
pull 8 down
rm -f /tmp/lat.pinctl /tmp/lat.gpiomon
lost_pinctl=0 lost_gpiomon=0 driven_pinctl=0 driven_gpiomon=0
i=0
while [ $i -lt $edgeRounds ]; do
    order=$(awk -v s=$i 'BEGIN { srand(12345 + s); print (rand() < 0.5) ? "pinctl gpiomon" : "gpiomon pinctl" }')
    for who in $order; do
        rm -f /tmp/stamps /tmp/edges
        ${who}Round
        # A round that could not run loses all its edges.
        IFS="$(printf '\t')" read -r med p99 max lost count </tmp/edges ||
            { lost=$((edges / edgeRounds)) count=$((edges / edgeRounds)); }
        eval "lost_$who=\$((lost_$who + lost)) driven_$who=\$((driven_$who + count))"
    done
    i=$((i + 1))
done
# figures FILE: median, p99 and max of the latencies in FILE (ms).
figures() {
    sort -n "$1" | awk '{ v[NR] = $1 }
        END { if (NR == 0) { print "- - -"; exit }
              r = int(NR * 0.99); if (r < NR * 0.99) r++
              printf "%s %s %s\n", v[int((NR + 1) / 2)], v[r], v[NR] }'
}
set -- $(figures /tmp/lat.pinctl)
med=$1 p99=$2 max=$3
set -- $(figures /tmp/lat.gpiomon)
monMed=$1 monP99=$2 monMax=$3
row "pinctl irq: edge to command, median / p99 / max" "$med / $p99 / $max ms" "" -
row "gpiomon -b piped to a read loop: edge to command, median / p99 / max" "$monMed / $monP99 / $monMax ms" "(peer)" -
r=$(ratio "$med" "$monMed")
row "pinctl irq / gpiomon pipeline, median" "${r}x" "<= 1x" "$(holds "$r" 1)"
echo "RATIO irq-p50/gpiomon|$r"
r=$(ratio "$p99" "$monP99")
row "pinctl irq / gpiomon pipeline, p99" "${r}x" "<= 1x" "$(holds "$r" 1)"
echo "RATIO irq-p99/gpiomon|$r"
row "edges lost, pinctl irq" "$lost_pinctl of $driven_pinctl" "0" "$(holds "$lost_pinctl" 0)"
row "edges lost, gpiomon pipeline" "$lost_gpiomon of $driven_gpiomon" "0" "$(holds "$lost_gpiomon" 0)"
# Without -b gpiomon's output waits in its buffer while it writes to a pipe.
rm -f /tmp/stamps /tmp/edges
gpiomonRound 5 ""
IFS="$(printf '\t')" read -r med p99 max lost count </tmp/edges || lost=- count=5
row "gpiomon without -b: edges with no command within 1 s" "$lost of $count" "" -

echo "3/4 software PWM (2 s windows)..."
# changesIn2s: level changes traced in the 2 s after the first 0.5 s.
changesIn2s() {
    traceOff | awk 'NR == 1 { t0 = $1 } $1 >= t0 + 0.5 && $1 < t0 + 2.5 { n++ } END { print n + 0 }'
}
offBy() { awk -v n="$1" -v w="$2" 'BEGIN { d = 100 * (n - w) / w; printf "%.2f", d < 0 ? -d : d }'; }
for f in 50 500; do
    want=$((4 * f))
    # The reference: a bare toggler on another line, due times absolute.
    traceOn 17
    uapiline toggle "/dev/$SIM_CHIP" 17 $f 3
    ref=$(changesIn2s)

    traceOn 16
    pinctl pwm 16 $f 50 >/dev/null
    pid=$(recordPid 16 pwm)
    usleep 500000
    ns0=$(cpuNs "$pid")
    sleep 2
    ns1=$(cpuNs "$pid")
    usleep 200000
    pinctl pwmstop 16
    n=$(changesIn2s)
    off=$(offBy "$n" "$want")
    if [ $f -eq 50 ]; then ok=$(holds "$off" 1); goal="within 1%"; else ok=-; goal=""; fi
    row "software PWM $f Hz, level changes in 2 s" "$n of $want ($off% off)" "$goal" "$ok"
    row "bare toggler $f Hz (reference), level changes" "$ref of $want ($(offBy "$ref" "$want")% off)" "" -
    row "software PWM $f Hz, worker CPU" "$(awk -v d=$((ns1 - ns0)) 'BEGIN { printf "%.1f", d / 2e6 }') ms a second" "" -
done

echo "4/4 idle workers ($idle s)..."
pinctl irq 9 both true >/dev/null
irqPid=$(recordPid 9 irq)
# The keeper that holds the lines set 6 1 and set 10 1 leave.
pinctl set 10 1 >/dev/null
keeperPid=$(keeper)
tick=100
for kind in irq keeper; do
    eval "pid=\$${kind}Pid"
    [ -n "$pid" ] || continue
    eval "t0_$kind=$(cpuTicks "$pid") n0_$kind=$(cpuNs "$pid")"
done
sleep "$idle"
for kind in irq keeper; do
    if [ $kind = irq ]; then pid=$irqPid name="idle interrupt worker"; else pid=$keeperPid name="idle keeper (lines 6, 10 held, 9 lent)"; fi
    if [ -z "$pid" ]; then
        row "$name" "not found" "" -
        continue
    fi
    eval "t0=\$t0_$kind n0=\$n0_$kind"
    ms=$(( ($(cpuTicks "$pid") - t0) * 1000 / tick ))
    on=$(awk -v a="$(cpuNs "$pid")" -v b="$n0" 'BEGIN { printf "%.3f", (a - b) / 1e6 }')
    dirty=$(awk '/^Private_Dirty:/ { print $2 }' "/proc/$pid/smaps_rollup")
    rss=$(awk '/^Rss:/ { print $2 }' "/proc/$pid/smaps_rollup")
    row "$name CPU" "$ms ms in $idle s (on CPU $on ms)" "< 10 ms in 30 s" "$(holds "$ms" 9.999)"
    row "$name memory" "RSS $rss KiB, private dirty $dirty KiB" "" -
done
pinctl irqstop 9
pinctl set 10 0 >/dev/null
