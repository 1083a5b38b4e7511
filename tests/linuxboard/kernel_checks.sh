# Checks of the linux board on a real kernel, beside the kernel VM suite
# (tests/kernel): glitch-free takeover, the keeper's hygiene and cost,
# edge bursts, a busy handler, hardware PWM after SIGKILL. Run with:
#   tests/kernel/run --build build-linux --script tests/linuxboard/kernel_checks.sh \
#       --add /kt/lib.sh=tests/kernel/lib.sh
. /kt/board.env
. /kt/lib.sh
begin "setting a kept line again never drops the level"
traceOn 6
is 0 "" set 6 1
is 0 "" set 6 1
is 0 "" setd 6 out
is 1 "" getd 6
is 0 "Pin:6, Direction:OUTPUT" info 6
traceOff >/tmp/t6
expect "changes of line 6" "$(cut -d' ' -f2 /tmp/t6 | tr -d '\n')" "1"
end

begin "keeper: detached, /dev/null, only its own descriptors, no CPU, killable"
timeout 5 sh -c 'x=$(pinctl set 9 1); exit 0'
expect "set inside \$() returns at once" "$?" 0
expect "keepers (lines 6 and 9)" "$(keepers | wc -w)" 1
k=$(keeper)
echo "keeper $k: $(ls -l /proc/$k/fd | awk 'NR > 1 { print $NF }' | tr '\n' ' ') ppid=$(cut -d' ' -f4 /proc/$k/stat)"
grep -E 'SigIgn|SigBlk|VmRSS|RssAnon' /proc/$k/status
t1=$(cut -d' ' -f14,15 /proc/$k/stat)
sleep 3
expect "keeper's CPU ticks over 3 s idle" "$(cut -d' ' -f14,15 /proc/$k/stat)" "$t1"
kill $k
usleep 200000
echo "after kill: $(line 9) $(line 6)"
end

begin "closed standard descriptors: the line still held, nothing written into it"
pinctl set 11 1 <&- >&- 2>&-
expect "status" "$?" 0
expect "line 11" "$(value 11)" 1
expect "line 11 request" "$(line 11 | cut -d' ' -f1-2)" "used=1 dir=out"
k=$(keeper)
fds=$(ls -l /proc/$k/fd | awk 'NR > 1 { print $NF }' | cut -d: -f1 | sort | tr '\n' ' ')
expect "keeper $k descriptors" "$fds" "/dev/null /dev/null /dev/null /run/varnel/keeper2.lock anon_inode anon_inode socket "
is 0 "" setd 11 in
expect "line 11 after setd in" "$(line 11 | cut -d' ' -f1-2)" "used=0 dir=in"
end

begin "a burst of 300 edges, none lost"
pull 7 down
rm -f /tmp/burst
pc irq 7 both 'echo $(date) >/dev/null; echo e >>/tmp/burst' 
i=0
while [ $i -lt 150 ]; do pull 7 up; pull 7 down; i=$((i + 1)); done
waitfor() {
    n=0
    while [ $n -lt 600 ]; do
        [ "$(wc -l </tmp/burst 2>/dev/null)" -ge $1 ] && return 0
        usleep 100000
        n=$((n + 1))
    done
    return 1
}
waitfor 300 || fail "only $(wc -l </tmp/burst) edges of 300"
sleep 1
expect "edges" "$(wc -l </tmp/burst)" 300
ipid=$(recordPid 7 irq)
t1=$(cut -d' ' -f14,15 /proc/$ipid/stat); sleep 3; t2=$(cut -d' ' -f14,15 /proc/$ipid/stat)
expect "idle interrupt worker CPU" "$t2" "$t1"
for t in /proc/$ipid/task/*; do echo "task $t: $(cut -d' ' -f14,15 $t/stat)"; done
is 0 "" irqstop 7
end

begin "a burst beyond the kernel's buffer: 1024 edges kept, the rest dropped"
pull 12 down
rm -f /tmp/of /tmp/go
pc irq 12 both 'while [ ! -e /tmp/go ]; do usleep 50000; done; echo e >>/tmp/of'
pull 12 up
usleep 300000
i=0
while [ $i -lt 700 ]; do pull 12 down; pull 12 up; i=$((i + 1)); done
touch /tmp/go
n=0 last=-1
while [ $n -lt 600 ]; do
    now=$(wc -l </tmp/of 2>/dev/null || echo 0)
    [ "$now" = "$last" ] && [ "$now" -gt 0 ] && break
    last=$now; sleep 1; n=$((n + 1))
done
echo "edges run: $now of 1401"
[ "$now" -ge 1024 ] && [ "$now" -le 1041 ] || fail "edges run: $now, wanted 1024 to 1041"
is 0 "" irqstop 12
end

begin "get while the handler runs a slow command"
pull 8 down
pc irq 8 rising 'sleep 5'
pull 8 up
usleep 300000
start=$(cut -d. -f1 /proc/uptime)
is 1 "" get 8
pc info 8
expect "info 8" "$(echo "$out" | head -n 1)" "Pin:8, Direction:INPUT, Value:1 IRQ"
end=$(cut -d. -f1 /proc/uptime)
[ $((end - start)) -le 2 ] || fail "get took $((end - start)) s"
is 0 "" irqstop 8
end

begin "hardware PWM off after its worker is killed with SIGKILL"
p=/sys/class/pwm/pwmchip$PWM_CHIP
printf '17 /dev/%s 17 %s 0\n' "$SIM_CHIP" "$PWM_CHIP" >/tmp/map
export VARNEL_PINMAP=/tmp/map
is 0 "" pwm 17 2000 10
expect "period" "$(cat $p/pwm0/period)" 500000
expect "duty" "$(cat $p/pwm0/duty_cycle)" 50000
expect "enable" "$(cat $p/pwm0/enable)" 1
is 1 "" getd 17
pid=$(recordPid 17 pwm)
kill -9 $pid
usleep 500000
expect "enable after SIGKILL" "$(cat $p/pwm0/enable)" 0
waitUntil 20 sh -c '[ -z "$(ps -o comm | grep varnel-keeper)" ]' || fail "the keeper outlived the PWM"
unset VARNEL_PINMAP
end
begin "four processes at once on one pin: no failure, one keeper at most"
rm -f /tmp/conc.*
for w in 1 2 3 4; do
    (i=0; while [ $i -lt 25 ]; do
        for op in "set 10 1" "set 10 0" "get 10" "setd 10 out" "info 10"; do
            timeout 20 pinctl $op >>/tmp/conc.$w 2>&1
        done
        i=$((i + 1))
    done) &
done
wait
expect "messages" "$(cat /tmp/conc.* | grep -v '^Pin:10' | head -n 3)" ""
[ "$(keepers | wc -w)" -le 1 ] || fail "keepers: $(keepers)"
end
echo "$passed passed, $failed failed"
