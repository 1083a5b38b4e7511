# The benchmark's part inside the kernel VM (busybox sh, run by bench/kernel
# through tests/kernel/run): one "ROW measure|result|goal|verdict" line per
# figure, verdict met, MISSED or - (not judged; everything in quick mode).
. /kt/board.env
. /kt/lib.sh
if [ -e /kt/quick ]; then
    quick=1 rounds=5 edges=20 idle=2
else
    quick=0 rounds=200 edges=1000 idle=30
fi
row() {
    local verdict=-
    if [ $quick -eq 0 ]; then
        case $4 in 1) verdict=met ;; 0) verdict=MISSED ;; esac
    fi
    echo "ROW $1|$2|$3|$verdict"
}
# holds VALUE LIMIT: 1 if VALUE <= LIMIT, else 0.
holds() { awk -v v="$1" -v l="$2" 'BEGIN { print (v != "-" && v + 0 <= l + 0) ? 1 : 0 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
cpuNs() { cat /proc/"$1"/task/*/schedstat | awk '{ s += $1 } END { printf "%d", s }'; }
cpuTicks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
echo "1/4 one-shot invocations ($rounds rounds)..."
pinctl set 6 1 >/dev/null
cat >/tmp/plan <<PLAN
floor (does nothing)|floor||/usr/bin/bench_floor|
pinctl get 7|ours||/usr/bin/pinctl get 7|
pinctl getd 7|ours||/usr/bin/pinctl getd 7|
pinctl info 7|ours||/usr/bin/pinctl info 7|
pinctl set 6 1|ours||/usr/bin/pinctl set 6 1|
pinctl setd 6 out|ours||/usr/bin/pinctl setd 6 out|
gpioget gpiochip0 22|peer||/usr/bin/gpioget gpiochip0 22|
gpioset gpiochip0 21=1|peer||/usr/bin/gpioset gpiochip0 21=1|
PLAN
bench_invoke /tmp/plan "$rounds" >/tmp/invoke || echo "ROW one-shot run|failed|-|0"
while IFS="$(printf '\t')" read -r label ms r goal; do
    eval "ms_$(echo "$label" | tr -c 'a-z0-9\n' _)=$ms"
    case $goal in
    floor) row "$label" "$ms ms" "(reference)" - ;;
    peer) row "$label" "${r}x floor ($ms ms)" "(peer)" - ;;
    *) row "$label" "${r}x floor ($ms ms)" "" - ;;
    esac
done </tmp/invoke
# calls COMMAND...: the system calls COMMAND makes, as strace -c counts them.
calls() {
    strace -f -c -o /tmp/calls "$@" >/dev/null 2>&1
    awk '$NF == "total" { print $4 }' /tmp/calls
}
for pair in "get 7|ms_pinctl_get_7|gpioget gpiochip0 22|ms_gpioget_gpiochip0_22" \
            "getd 7|ms_pinctl_getd_7|gpioget gpiochip0 22|ms_gpioget_gpiochip0_22" \
            "info 7|ms_pinctl_info_7|gpioget gpiochip0 22|ms_gpioget_gpiochip0_22" \
            "set 6 1|ms_pinctl_set_6_1|gpioset gpiochip0 21=1|ms_gpioset_gpiochip0_21_1" \
            "setd 6 out|ms_pinctl_setd_6_out|gpioset gpiochip0 21=1|ms_gpioset_gpiochip0_21_1"; do
    IFS='|' read -r ours oursMs peer peerMs <<PAIR
$pair
PAIR
    eval "a=\$$oursMs b=\$$peerMs"
    r=$(ratio "$a" "$b")
    row "pinctl $ours / ${peer%% *}, time" "${r}x" "<= 1x" "$(holds "$r" 1)"
    n=$(calls /usr/bin/pinctl $ours)
    m=$(calls /usr/bin/$peer)
    row "pinctl $ours / ${peer%% *}, system calls" "$n / $m" "<= peer" "$(holds "$n" "$m")"
done

echo "2/4 interrupt latency ($edges edges)..."
pull 8 down
pinctl irq 8 both "/usr/bin/bench_stamp /tmp/stamps" >/dev/null
bench_edges "$SIM_DIR/sim_gpio8" "$edges" /tmp/stamps 5 >/tmp/edges
pinctl irqstop 8
IFS="$(printf '\t')" read -r med p99 max lost count </tmp/edges
row "irq latency median / p99 / max" "$med / $p99 / $max ms" "" -
row "edges lost" "$lost of $count" "0" "$(holds "$lost" 0)"

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
