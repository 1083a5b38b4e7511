# The end-to-end suite in the VM: pinctl and libvarnel.so as installed on a
# board, driving the lines of gpio-sim chips through the kernel. One line
# per section: "PASS NAME" or "FAIL NAME: first mismatch"; then the counts.
. /kt/board.env
. /kt/lib.sh
map=/tmp/kt.pinmap

# Every pin pinctl accepts, as "all" visits them.
usable=""
for p in $(seq 0 26); do
    pc getd "$p"
    [ "$rc" -ne 255 ] && usable="$usable $p"
done

begin "help and rejected command lines"
pc help
expect "help status" "$rc" 255
expect "help first line" "$(echo "$out" | head -n 1)" "Usage"
expect "help lines" "$(echo "$out" | wc -l)" 37
pc get all
expect "get all status" "$rc" 255
expect "get all message" "$(echo "$out" | head -n 1)" "**ERROR** Invalid <pin> for operation: all"
pc set 6 2
expect "set 6 2 message" "$(echo "$out" | head -n 1)" "**ERROR** Invalid <val> for set: 2"
pc getd 27
expect "getd 27 message" "$(echo "$out" | head -n 1)" "**ERROR** Invalid <pin> : 27"
expect "stderr" "$err" ""
for p in 0 1 6 7 8 12 13 14 15 16 17 18 19 23 26; do
    case " $usable " in *" $p "*) ;; *) fail "pin $p is not usable" ;; esac
done
end

begin "set, get, setd, getd on lines of gpiochip0"
pull 7 down
is 0 "" set 6 1
expect "line 6 after set 6 1" "$(value 6)" 1
expect "line 6 request" "$(line 6 | cut -d' ' -f1-2)" "used=1 dir=out"
is 1 "" getd 6
is 0 "Pin:6, Direction:OUTPUT" info 6
is 0 "" set 6 0
expect "line 6 after set 6 0" "$(value 6)" 0
pull 7 up
is 1 "" get 7
is 0 "Pin:7, Direction:INPUT, Value:1" info 7
pull 7 down
is 0 "" get 7
is 0 "" getd 7
is 0 "" setd 8 out
is 1 "" getd 8
is 0 "" setd 8 in
is 0 "" getd 8
is 0 "" get 6
expect "line 6 after get" "$(line 6 | cut -d' ' -f2)" "dir=in"
# gpio-sim keeps the last driven level on a line turned input until its
# pull changes.
pull 6 up
is 1 "" get 6
pull 6 down
end

begin "info all, set all, setd all"
want="" got=""
for p in $usable; do
    want="$want Pin:$p, Direction:INPUT, Value:$(value "$p")"
done
pc info all
expect "info all status" "$rc" 0
expect "info all" "$(echo $out)" "$(echo $want)"
is 0 "" set all 1
for p in $usable; do got="$got$(value "$p")"; done
expect "levels after set all 1" "$got" "$(for p in $usable; do printf 1; done)"
is 0 "" set all 0
got=""
for p in $usable; do got="$got$(value "$p")"; done
expect "levels after set all 0" "$got" "$(for p in $usable; do printf 0; done)"
is 0 "" setd all in
got=""
for p in $usable; do pc getd "$p"; got="$got$rc"; done
expect "directions after setd all in" "$got" "$(for p in $usable; do printf 0; done)"
end

begin "outputs persist after pinctl exits"
pull 6 down
# Nothing left running may keep the caller's pipe open.
timeout 10 sh -c 'pinctl set 6 1 | cat >/dev/null'
expect "set 6 1 into a pipe" "$?" 0
sleep 1
expect "line 6 one second later" "$(value 6)" 1
sleep 2
expect "line 6 three seconds later" "$(value 6)" 1
expect "line 6 still requested as output" "$(line 6 | cut -d' ' -f1-2)" "used=1 dir=out"
# Setting a kept output drives it through the keeper: the same one
# before and after, and no new process.
before=$(keepers)
[ -n "$before" ] || fail "no keeper holds line 6"
is 0 "" set 6 0
expect "line 6 after set 6 0" "$(value 6)" 0
is 0 "" set 6 1
expect "line 6 after set 6 1" "$(value 6)" 1
expect "keeper after two sets" "$(keepers)" "$before"
# A hang-up of the caller's session and process group (a closed terminal)
# leaves the line driven, and the workers it started running.
is 0 "" set 6 0
setsid sh -c 'pinctl set 6 1; pinctl pwm 16 50 50; pinctl irq 8 both true; exec sleep 30' &
group=$!
i=0
while [ ! -e /tmp/pin8_irq_pid ] && [ $i -lt 100 ]; do usleep 100000; i=$((i + 1)); done
kill -HUP -"$group"
wait "$group" 2>/dev/null
usleep 500000
expect "line 6 after the caller's hang-up" "$(value 6) $(line 6 | cut -d' ' -f1-2)" "1 used=1 dir=out"
alive "$(recordPid 16 pwm)" || fail "the PWM worker ended with its caller"
alive "$(recordPid 8 irq)" || fail "the interrupt worker ended with its caller"
is 0 "" pwmstop 16
is 0 "" irqstop 8
is 0 "" setd 6 in
is 0 "" setd 6 out
sleep 1
expect "line 6 after setd 6 out" "$(line 6 | cut -d' ' -f1-2)" "used=1 dir=out"
is 1 "" getd 6
is 0 "" set 6 0
expect "line 6 after set 6 0" "$(value 6)" 0
end

begin "get beside a running interrupt worker"
rm -f /tmp/irq8
pull 8 down
is 0 "" irq 8 rising "echo hit >>/tmp/irq8"
pid=$(recordPid 8 irq)
expect "record" "$(cat /tmp/pin8_irq_pid)" "$pid
Type:Rising, Cmd:'echo hit >>/tmp/irq8', Debounce:0"
pull 8 up
expect "command runs on a rising edge" "$(settle 1 /tmp/irq8)" 1
is 1 "" get 8
alive "$pid" || fail "the interrupt worker ended on get"
[ -f /tmp/pin8_irq_pid ] || fail "get removed the interrupt record"
pull 8 down
pull 8 up
expect "edges after get" "$(settle 2 /tmp/irq8)" 2
pc info 8
expect "info 8" "$out" "Pin:8, Direction:INPUT, Value:1 IRQ
:	Process Id:$pid
	Type:Rising, Cmd:'echo hit >>/tmp/irq8', Debounce:0"
is 0 "" irqstop 8
usleep 200000
alive "$pid" && fail "irqstop left the worker running"
[ -e /tmp/pin8_irq_pid ] && fail "irqstop left the record"
pull 8 down
pull 8 up
usleep 300000
expect "edges after irqstop" "$(wc -l </tmp/irq8)" 2
pull 8 down
end

# edgeRun TYPE COUNT FILE: pin 14 armed for TYPE, COUNT up-and-down pulses
# 50 ms apart; FILE collects the worker's output.
edgeRun() {
    pull 14 down
    rm -f "$3"
    pinctl irq 14 "$1" '[debug]n=$(($(cat /tmp/seq 2>/dev/null || echo 0) + 1)); echo $n >/tmp/seq; echo $n' >"$3" 2>&1
    rm -f /tmp/seq
    i=0
    while [ $i -lt "$2" ]; do
        pull 14 up
        usleep 50000
        pull 14 down
        usleep 50000
        i=$((i + 1))
    done
}
begin "edges in order: rising, falling, both"
edgeRun rising 10 /tmp/e14
n=$(settle 20 /tmp/e14)
expect "rising: lines" "$n" 20
expect "rising: debug lines" "$(grep -c 'GPIO Irq Debug: Pin=14 Type=Rising' /tmp/e14)" 10
expect "rising: order" "$(grep -v Debug /tmp/e14 | tr '\n' ' ')" "1 2 3 4 5 6 7 8 9 10 "
edgeRun falling 10 /tmp/e14
n=$(settle 20 /tmp/e14)
expect "falling: lines" "$n" 20
expect "falling: debug lines" "$(grep -c 'GPIO Irq Debug: Pin=14 Type=Falling' /tmp/e14)" 10
edgeRun both 10 /tmp/e14
n=$(settle 40 /tmp/e14)
expect "both: lines" "$n" 40
expect "both: edges alternate" "$(grep Debug /tmp/e14 | sed 's/.*Type=//' | uniq | wc -l)" 20
expect "both: first edge" "$(grep -m 1 Debug /tmp/e14)" "GPIO Irq Debug: Pin=14 Type=Rising"
expect "both: order" "$(grep -v Debug /tmp/e14 | tr '\n' ' ')" "$(seq 1 20 | tr '\n' ' ')"
is 0 "" irqstop 14
end

begin "debounce swallows short glitches"
pull 15 down
rm -f /tmp/d15
is 0 "" irq 15 both "echo edge >>/tmp/d15" 200
# Five glitches of 5 ms, none run. On a busy machine the emulator may stall
# between the two writes, and a glitch last past the debounce (then it
# may run twice): only one timed shorter (by a clock of 10 ms) counts as a
# glitch, and is made again otherwise.
short=0 long=0
while [ $short -lt 5 ] && [ $long -lt 15 ]; do
    uptimeMs
    t0=$ms
    pull 15 up
    usleep 5000
    pull 15 down
    uptimeMs
    if [ $((ms - t0)) -lt 150 ]; then short=$((short + 1)); else long=$((long + 1)); fi
    usleep 300000
done
[ $long -eq 0 ] || sleep 2
expect "glitches shorter than the debounce" "$short" 5
n=$(cat /tmp/d15 2>/dev/null | wc -l)
[ "$n" -le $((2 * long)) ] || fail "glitches: $n commands ran, for $long glitches longer than the debounce"
rm -f /tmp/d15
pull 15 up
usleep 600000
pull 15 down
expect "held levels" "$(settle 2 /tmp/d15)" 2
is 0 "" irqstop 15
end

begin "software PWM toggles the line at the asked rate"
traceOn 16
timeout 10 sh -c 'pinctl pwm 16 50 50 | cat >/dev/null'
expect "pwm 16 50 50 into a pipe" "$?" 0
pid=$(recordPid 16 pwm)
expect "record" "$(cat /tmp/pin16_pwm_pid)" "$pid
Frequency:50, Duty:50"
sleep 2
pc info 16
expect "info 16" "$out" "Pin:16, Direction:OUTPUT, PWM:
	Process Id:$pid
	Frequency:50, Duty:50"
is 0 "" pwmstop 16
traceOff >/tmp/t16
alive "$pid" && fail "pwmstop left the worker running"
[ -e /tmp/pin16_pwm_pid ] && fail "pwmstop left the record"
# Over the middle second, at 50 Hz and 50%: 100 changes at most (a busy
# machine skips periods, never bunches them), and high and low phases of
# 10 ms each, as their medians tell whatever periods were skipped.
awk 'function median(a, n,   i, j, v) {
         for (i = 2; i <= n; i++) { v = a[i]; for (j = i - 1; j > 0 && a[j] > v; j--) a[j + 1] = a[j]; a[j + 1] = v }
         return n > 0 ? a[int((n + 1) / 2)] : -1
     }
     NR == 1 { t0 = $1 } { t = $1 - t0 }
     t >= 0.5 && t < 1.5 {
         n++
         if (last != "") { if (lv == 1) hi[++nh] = ($1 - last) * 1000; else lo[++nl] = ($1 - last) * 1000 }
         last = $1; lv = $2
     }
     END { printf "%d %d %d\n", n, median(hi, nh) + 0.5, median(lo, nl) + 0.5 }' /tmp/t16 >/tmp/t16.sum
read changes high low </tmp/t16.sum
[ "$changes" -ge 50 ] && [ "$changes" -le 105 ] ||
    fail "changes in one second: $changes, wanted 100 (50 to 105)"
[ "$high" -ge 9 ] && [ "$high" -le 11 ] && [ "$low" -ge 9 ] && [ "$low" -le 11 ] ||
    fail "high and low phases: $high and $low ms, wanted 10 and 10"
before=$(value 16)
usleep 300000
expect "line after pwmstop" "$(value 16)" "$before"
# Duty 100 and 0: a steady level, no toggling.
for duty in 100 0; do
    is 0 "" pwm 16 50 $duty
    usleep 200000
    traceOn 16
    usleep 500000
    expect "duty $duty: level" "$(value 16)" $((duty / 100))
    expect "duty $duty: changes in 0.5 s" "$(traceOff | wc -l)" 0
done
is 0 "" pwmstop 16
end

begin "hardware PWM through the pin map"
p=/sys/class/pwm/pwmchip$PWM_CHIP
printf '17 %s 17 %s 1\n' "/dev/$SIM_CHIP" "$PWM_CHIP" >$map
export VARNEL_PINMAP=$map
traceOn 17
is 0 "" pwm 17 1000 25
pid=$(recordPid 17 pwm)
expect "period" "$(cat $p/pwm1/period 2>/dev/null)" 1000000
expect "duty_cycle" "$(cat $p/pwm1/duty_cycle 2>/dev/null)" 250000
expect "enable" "$(cat $p/pwm1/enable 2>/dev/null)" 1
sleep 1
alive "$pid" || fail "the PWM worker ended"
# At most the level set when the line was made an output.
[ "$(traceOff | wc -l)" -le 1 ] || fail "line 17 toggled under hardware PWM"
pc info 17
expect "info 17" "$out" "Pin:17, Direction:OUTPUT, PWM:
	Process Id:$pid
	Frequency:1000, Duty:25"
is 0 "" pwmstop 17
case $(cat $p/pwm1/enable 2>/dev/null || echo unexported) in
0 | unexported) ;;
*) fail "channel 1 still enabled after pwmstop" ;;
esac
alive "$pid" && fail "pwmstop left the worker running"
# set takes the pin over from a hardware PWM worker.
is 0 "" pwm 17 2000 50
expect "period at 2000 Hz" "$(cat $p/pwm1/period 2>/dev/null)" 500000
pid=$(recordPid 17 pwm)
is 0 "" set 17 1
case $(cat $p/pwm1/enable 2>/dev/null || echo unexported) in
0 | unexported) ;;
*) fail "channel 1 still enabled after set 17 1" ;;
esac
usleep 200000
alive "$pid" && fail "set left the PWM worker running"
expect "line 17 after set 17 1" "$(value 17)" 1
is 0 "" set 17 0
unset VARNEL_PINMAP
end

begin "takeover on one pin: pwm, then irq, then set"
pull 18 down
is 0 "" pwm 18 100 50
pwmpid=$(recordPid 18 pwm)
alive "$pwmpid" || fail "no PWM worker"
is 0 "" irq 18 rising "echo hit >>/tmp/irq18"
irqpid=$(recordPid 18 irq)
usleep 200000
alive "$pwmpid" && fail "irq left the PWM worker running"
[ -e /tmp/pin18_pwm_pid ] && fail "irq left the PWM record"
alive "$irqpid" || fail "no interrupt worker"
expect "line 18 under irq" "$(line 18 | cut -d' ' -f2)" "dir=in"
is 0 "" set 18 1
usleep 200000
alive "$irqpid" && fail "set left the interrupt worker running"
[ -e /tmp/pin18_irq_pid ] && fail "set left the interrupt record"
expect "line 18 after set" "$(value 18)" 1
is 0 "Pin:18, Direction:OUTPUT" info 18
is 0 "" set 18 0
end

begin "concurrent invocations on one line"
# Three callers at once for about 5 s: set 1, set 0 and get/info on line
# 20, each handing the line to the others through the keeper. Any error,
# hang or stray output is written to /tmp/c20.bad.
rm -f /tmp/c20.bad /tmp/c20.ran
held=$(lineHolders | wc -l)
hammer() {
    local end=$(($(date +%s) + 5)) o r
    while [ "$(date +%s)" -lt $end ]; do
        for args in "$@"; do
            o=$(timeout 20 pinctl $args 2>&1 </dev/null)
            r=$?
            echo "$args" >>/tmp/c20.ran
            case "$args/$r" in
            get*/0 | get*/1 | set*/0 | info*/0) ;;
            *) echo "$args: status $r" >>/tmp/c20.bad ;;
            esac
            case "$args/$o" in
            info*/Pin:20,\ Direction:* | */) ;;
            *) echo "$args: $o" >>/tmp/c20.bad ;;
            esac
        done
    done
}
hammer "set 20 1" & a=$!
hammer "set 20 0" & b=$!
hammer "get 20" "info 20" & c=$!
wait $a $b $c
[ -s /tmp/c20.bad ] && fail "$(head -n 1 /tmp/c20.bad)"
for args in "set 20 1" "set 20 0" "get 20"; do
    [ "$(grep -c "^$args\$" /tmp/c20.ran)" -ge 3 ] || fail "$args ran fewer than 3 times"
done
is 0 "" set 20 1
expect "line 20 after the callers" "$(value 20) $(line 20 | cut -d' ' -f1-2)" "1 used=1 dir=out"
[ "$(lineHolders | wc -l)" -le $((held + 1)) ] ||
    fail "processes holding lines: $(lineHolders | wc -l), were $held before"
is 0 "" set 20 0
end

begin "pin map by chip label and by path"
printf '# test map\n19 %s 3\n20 /dev/%s 5\n' "$SIDE_LABEL" "$SIDE_CHIP" >$map
export VARNEL_PINMAP=$map
is 0 "" set 19 1
expect "side line 3" "$(sideValue 3)" 1
expect "main line 19 untouched" "$(line 19 | cut -d' ' -f1)" "used=0"
sidePull 5 up
is 1 "" get 20
is 0 "" set 19 0
expect "side line 3" "$(sideValue 3)" 0
is 0 "" setd 19 in
unset VARNEL_PINMAP
end

begin "a line held by another program: err=16"
uapiline hold "/dev/$SIM_CHIP" 13 >/tmp/hold13 &
holder=$!
settle 1 /tmp/hold13 >/dev/null
is 16 "**ERROR getting pin:13 value, err=16" get 13
is 16 "**ERROR setting pin:13 to value:1, err=16" set 13 1
pc irq 13 both "echo x"
expect "irq 13" "$rc/$out" "1/**ERROR starting IRQ on pin:13 with command:echo x err=16"
pc irqstop 13
pc pwm 13 100 50
expect "pwm 13" "$rc/$out" "1/**ERROR starting PWM on pin:13 to freq:100, duty:50 err=16"
pc pwmstop 13
kill "$holder"
wait "$holder" 2>/dev/null
is 0 "" set 13 1
expect "line 13 once free" "$(value 13)" 1
is 0 "" set 13 0
end

begin "a map naming a missing chip: the pin is not offered; one we may not open: err=13"
# A pin is usable only where its line exists; no other line is touched.
printf '6 /dev/gpiochip9 6\n7 /dev/%s 7\n' "$SIM_CHIP" >$map
export VARNEL_PINMAP=$map
before="$(value 6) $(line 6)"
pc get 6
expect "get 6 status" "$rc" 255
expect "get 6 message" "$(echo "$out" | head -n 1)" "**ERROR** Invalid <pin> : 6"
expect "line 6 of $SIM_CHIP" "$(value 6) $(line 6)" "$before"
pull 7 up
is 1 "" get 7
pull 7 down
# Another user, the chip being root's alone: pin 7 is there, and says why.
expect "the other user's get 7" "$(asOther pinctl get 7; echo "/$?")" "**ERROR getting pin:7 value, err=13
/13"
expect "the other user's info all" "$(asOther pinctl info all; echo "/$?")" "Pin:7, Direction:
/0"
unset VARNEL_PINMAP
end

begin "a bad map: one line on stderr, no pin usable"
printf '6 /dev/%s 6\nseven %s\n' "$SIM_CHIP" "$SIM_CHIP" >$map
export VARNEL_PINMAP=$map
pc get 6
expect "get 6 status" "$rc" 255
expect "get 6 message" "$(echo "$out" | head -n 1)" "**ERROR** Invalid <pin> : 6"
expect "stderr lines" "$(echo "$err" | wc -l)" 1
case $err in *"$map"*2*) ;; *) fail "stderr names no file and line: $err" ;; esac
pc info all
expect "info all" "$rc/$out" "0/"
unset VARNEL_PINMAP
end

begin "a /tmp that is root's link to a sticky folder, as on boards with a volatile /var"
mkdir -p /var/volatile/tmp && mount -o move /tmp /var/volatile/tmp && rmdir /tmp &&
    ln -s var/volatile/tmp /tmp || fail "cannot make /tmp a link"
is 0 "" pwm 16 50 50
pc info 16
expect "info 16" "$(echo "$out" | head -n 1)" "Pin:16, Direction:OUTPUT, PWM:"
is 0 "" pwmstop 16
[ -e /var/volatile/tmp/pin16_pwm_pid ] && fail "pwmstop left the record"
rm /tmp && mkdir /tmp && mount -o move /var/volatile/tmp /tmp || fail "cannot make /tmp a folder again"
end

begin "set all leaves one keeper, setd all in none; the keeper idles"
is 0 "" setd all in
expect "keepers after setd all in" "$(keepers)" ""
is 0 "" set all 1
k=$(keepers)
expect "keepers after set all 1" "$(echo $k | wc -w)" 1
got=""
for p in $usable; do got="$got$(value "$p")"; done
expect "levels after set all 1" "$got" "$(for p in $usable; do printf 1; done)"
k=$(keeper)
t1=$(cut -d' ' -f14,15 /proc/$k/stat)
sleep 3
expect "keeper's CPU ticks over 3 s idle" "$(cut -d' ' -f14,15 /proc/$k/stat)" "$t1"
echo "keeper $k: $(grep -E '^(VmRSS|RssAnon)' /proc/$k/status | tr -s ' \t' ' ' | tr '\n' ' ')"
is 0 "" setd all in
waitUntil 20 sh -c '[ -z "$(ps -o comm | grep varnel-keeper)" ]' || fail "the keeper outlived its lines"
end

begin "an interrupt command starts as a shell started by hand would"
pull 9 down
rm -f /tmp/sig9 /tmp/bg9
cat >/tmp/sig9.sh <<'CMD'
grep -E "^Sig(Blk|Ign)" /proc/self/status >/tmp/sig9
sleep 60 >/dev/null 2>&1 &
echo $! >/tmp/bg9
s=$(cut -d. -f1 /proc/uptime)
timeout 1 sleep 4
echo "took $(($(cut -d. -f1 /proc/uptime) - s))" >>/tmp/sig9
CMD
is 0 "" irq 9 rising "sh /tmp/sig9.sh"
pull 9 up
settle 3 /tmp/sig9 >/dev/null
# Nothing blocked, and HUP, INT and TERM not ignored (busybox ignores
# QUIT in a shell of its own).
expect "signals blocked in the command" "$(sed -n 's/^SigBlk:[[:space:]]*//p' /tmp/sig9 | tr -d 0)" ""
expect "HUP, INT, TERM ignored in the command" "$(($(sigMask SigIgn /tmp/sig9) & 0x4003))" 0
case $(tail -n 1 /tmp/sig9) in "took 1" | "took 2") ;; *) fail "timeout 1 sleep 4: $(tail -n 1 /tmp/sig9)" ;; esac
bg=$(cat /tmp/bg9)
kill "$bg" 2>/dev/null
waitUntil 20 sh -c "! alive $bg 2>/dev/null && ! [ -r /proc/$bg/stat ] || grep -q ' Z ' /proc/$bg/stat" ||
    fail "the command's own background job did not end on kill"
is 0 "" irqstop 9
pull 9 down
end

begin "a keeper that cannot start: the operation fails, the line is not left half set"
is 0 "" setd all in
expect "keepers before" "$(keepers)" ""
mkdir /run/varnel/keeper2
pc set 6 1
expect "set 6 1" "$rc/$out" "$EADDRINUSE/**ERROR setting pin:6 to value:1, err=$EADDRINUSE"
expect "line 6 after the failed set" "$(line 6 | cut -d' ' -f1)" "used=0"
printf '17 %s 17 %s 1\n' "/dev/$SIM_CHIP" "$PWM_CHIP" >$map
VARNEL_PINMAP=$map pc pwm 17 1000 25
expect "pwm 17" "$rc/$out" "1/**ERROR starting PWM on pin:17 to freq:1000, duty:25 err=$EADDRINUSE"
expect "channel after the failed pwm" "$(cat /sys/class/pwm/pwmchip$PWM_CHIP/pwm1/enable 2>/dev/null || echo 0)" 0
VARNEL_PINMAP=$map pc pwmstop 17
pc irq 9 rising "echo x"
expect "irq 9" "$rc/$out" "1/**ERROR starting IRQ on pin:9 with command:echo x err=$EADDRINUSE"
pc irqstop 9
rmdir /run/varnel/keeper2
# Few descriptors to spare: it works, or says why; never a silent drop.
(ulimit -n 64; pinctl set 6 1 >/tmp/kt.out 2>&1)
expect "set 6 1 under ulimit -n 64" "$(cat /tmp/kt.out) $(value 6) $(line 6 | cut -d' ' -f1-2)" " 1 used=1 dir=out"
is 0 "" setd 6 in
end

begin "hardware PWM goes off with its worker, whatever else was killed"
p=/sys/class/pwm/pwmchip$PWM_CHIP/pwm1
export VARNEL_PINMAP=$map
is 0 "" pwm 17 1000 25
k=$(keeper)
kill -9 "$k"
waitUntil 30 sh -c "[ -n \"\$(ps -o pid,comm | awk '\$2 == \"varnel-keeper\" && \$1 != $k')\" ]" ||
    fail "no new keeper watches the channel"
expect "enable with the keeper killed" "$(cat $p/enable)" 1
is 0 "" pwmstop 17
waitUntil 10 sh -c "[ \"\$(cat $p/enable)\" = 0 ]" || fail "channel on after pwmstop"
# Worker and keeper killed at once: whatever puts the pin to another use
# switches the channel off itself.
for op in "setd 17 in" "set 17 0" "get 17" "irq 17 both true"; do
    is 0 "" pwm 17 1000 25
    kill -9 "$(keeper)" "$(recordPid 17 pwm)"
    usleep 200000
    expect "enable after both were killed" "$(cat $p/enable)" 1
    pc $op
    expect "enable after $op" "$(cat $p/enable)" 0
    pc irqstop 17
done
is 0 "" setd 17 in
is 0 "" getd 17
unset VARNEL_PINMAP
end

begin "another user can neither reach, flood nor pre-empt our keeper"
is 0 "" set 6 1
expect "another user's datagrams" "$(asOther uapiline flood /run/varnel/keeper2 50 1)" "sent=0"
asOther mkdir /run/varnel/x /tmp/varnel-0 2>/dev/null
pull 8 down
is 0 "" irq 8 rising true
# Our own flood (its queue full) delays, within the budget.
uapiline flood /run/varnel/keeper2 1000000 6 >/tmp/flood &
flooder=$!
usleep 300000
t0=$(nowMs)
for v in 0 1 0 1; do is 0 "" set 6 $v; done
pull 8 up
is 1 "" get 8
pc info 8
expect "info 8 in the flood" "$(echo "$out" | head -n 1)" "Pin:8, Direction:INPUT, Value:1 IRQ"
[ $(($(nowMs) - t0)) -le 8000 ] || fail "six commands in the flood took $(($(nowMs) - t0)) ms"
wait $flooder
case $(cat /tmp/flood) in sent=[1-9]*) ;; *) fail "our own flood sent nothing: $(cat /tmp/flood)" ;; esac
is 0 "" irqstop 8
pull 8 down
# The other user's own keeper: its line is busy for us at once.
chmod 666 /dev/$SIM_CHIP
asOther pinctl set 22 1 >/tmp/kt.out 2>&1
expect "the other user's set 22 1" "$(cat /tmp/kt.out) $(value 22)" " 1"
t0=$(nowMs)
pc get 22
expect "get 22 held by the other user" "$rc/$out" "16/**ERROR getting pin:22 value, err=16"
[ $(($(nowMs) - t0)) -le 1500 ] || fail "get 22 took $(($(nowMs) - t0)) ms"
asOther pinctl setd 22 in
chmod 600 /dev/$SIM_CHIP
rm -rf /tmp/varnel-0 /tmp/varnel-$OTHER
end

begin "another user's folder and socket are never sent anything of ours"
noKeeper || fail "a keeper outlived its lines"
# Root's old fallback folder, planted with a socket anyone may send to.
asOther mkdir -m 777 /tmp/varnel-0
uapiline as $OTHER uapiline catch /tmp/varnel-0/keeper2 >/tmp/caught0 &
catcher=$!
settle 1 /tmp/caught0 >/dev/null
printf '17 %s 17 %s 1\n' "/dev/$SIM_CHIP" "$PWM_CHIP" >$map
pull 14 down
is 0 "" set 6 1
is 0 "" irq 14 rising true
VARNEL_PINMAP=$map is 0 "" pwm 17 1000 25
t0=$(nowMs)
is 0 "" get 14
[ $(($(nowMs) - t0)) -le 1500 ] || fail "get 14 beside the worker took $(($(nowMs) - t0)) ms"
# A keeper killed: the workers register again with ours, never theirs.
k=$(keeper)
kill -9 "$k"
watchedAgain() { [ -n "$(keeper)" ] && [ "$(keeper)" != "$1" ] && ls -l /proc/$(keeper)/fd | grep -q pwm1/enable; }
waitUntil 100 watchedAgain "$k" || fail "the channel is not watched again"
kill -9 "$(recordPid 17 pwm)"
waitUntil 30 sh -c "[ \"\$(cat /sys/class/pwm/pwmchip$PWM_CHIP/pwm1/enable)\" = 0 ]" ||
    fail "the channel stayed on after its worker was killed"
VARNEL_PINMAP=$map pc pwmstop 17
is 0 "" irqstop 14
# Between two ordinary users: 1001 links 1000's folder name to its own.
chmod 666 /dev/$SIM_CHIP
uapiline as 1001 sh -c 'mkdir /tmp/u1001 && ln -s /tmp/u1001 /tmp/varnel-1000 &&
    exec uapiline catch /tmp/u1001/keeper2' >/tmp/caught1001 &
catcher2=$!
settle 1 /tmp/caught1001 >/dev/null
t0=$(nowMs)
asUser 1000 pinctl set 26 1 >/tmp/kt.out 2>&1
expect "user 1000's set 26 1" "$(cat /tmp/kt.out)" "**ERROR setting pin:26 to value:1, err=$EPERM"
[ $(($(nowMs) - t0)) -le 1500 ] || fail "set 26 1 took $(($(nowMs) - t0)) ms"
expect "line 26 after the refused set" "$(line 26 | cut -d' ' -f1)" "used=0"
kill "$catcher" "$catcher2"
wait "$catcher" "$catcher2" 2>/dev/null
expect "what root's squatter caught" "$(cat /tmp/caught0)" "ready"
expect "what 1000's squatter caught" "$(cat /tmp/caught1001)" "ready"
chmod 600 /dev/$SIM_CHIP
rm -rf /tmp/varnel-0 /tmp/varnel-1000 /tmp/u1001
is 0 "" setd 6 in
end

begin "a keeper starts from its own limits and answers every request at once"
noKeeper || fail "a keeper outlived its lines"
(ulimit -n 16; pinctl set 6 1 >/tmp/kt.out 2>&1)
expect "set 6 1 under ulimit -n 16" "$(cat /tmp/kt.out) $(value 6)" " 1"
expect "the keeper's soft limit of descriptors" \
    "$(awk '/^Max open files/ { print ($4 >= 1024) }' /proc/$(keeper)/limits)" 1
t0=$(nowMs)
is 0 "" set all 1
[ $(($(nowMs) - t0)) -le 4000 ] || fail "set all 1 took $(($(nowMs) - t0)) ms"
noKeeper || fail "a keeper outlived its lines"
# Another user's keeper, its hard limit too low to hold every line: each
# request it cannot take is refused at once.
chmod 666 /dev/$SIM_CHIP
t0=$(nowMs)
asOther sh -c 'ulimit -S -n 16; ulimit -H -n 16; pinctl set all 1' >/tmp/kt.out 2>&1
t=$(($(nowMs) - t0))
[ $t -le 4000 ] || fail "another user's set all 1 took $t ms"
grep -q "err=$EMFILE\$" /tmp/kt.out || fail "no pin refused for want of descriptors: $(head -n 1 /tmp/kt.out)"
grep -v "err=$EMFILE\$" /tmp/kt.out | grep -q . && fail "other errors: $(grep -v "err=$EMFILE\$" /tmp/kt.out | head -n 1)"
asOther pinctl setd all in
chmod 600 /dev/$SIM_CHIP
end

begin "a failure reported is not carried out later"
noKeeper || fail "a keeper outlived its lines"
pull 7 down
is 0 "" set 6 0
k=$(keeper)
kill -STOP "$k"
pc set 6 1
expect "set 6 1 to a stopped keeper" "$out" "**ERROR setting pin:6 to value:1, err=$ETIMEDOUT"
pc set 7 1
expect "set 7 1 to a stopped keeper" "$out" "**ERROR setting pin:7 to value:1, err=$ETIMEDOUT"
kill -CONT "$k"
usleep 500000
expect "line 6 once the keeper goes on" "$(value 6)" 0
expect "line 7 once the keeper goes on" "$(value 7) $(line 7 | cut -d' ' -f1)" "0 used=0"
is 0 "" setd 6 in
end

begin "a line under our label that is not ours is another's, at once"
noKeeper || fail "a keeper outlived its lines"
chmod 666 /dev/$SIM_CHIP
uapiline as $OTHER uapiline hold /dev/$SIM_CHIP 7 varnel-0 >/tmp/hold7 &
holder=$!
settle 1 /tmp/hold7 >/dev/null
t0=$(nowMs)
pc set all 1
t=$(($(nowMs) - t0))
expect "set all 1 beside a forged line 7" "$out" "**ERROR setting pin:7 to value:1, err=$EBUSY"
[ $t -le 4000 ] || fail "set all 1 took $t ms"
got=""
for p in $usable; do [ "$p" = 7 ] || got="$got$(value "$p")"; done
expect "the other lines" "$got" "$(for p in $usable; do [ "$p" = 7 ] || printf 1; done)"
is $EBUSY "**ERROR getting pin:7 value, err=$EBUSY" get 7
kill "$holder"
wait "$holder" 2>/dev/null
chmod 600 /dev/$SIM_CHIP
is 0 "" setd all in
end

begin "a set-user-ID pinctl is its owner's, through and through"
noKeeper || fail "a keeper outlived its lines"
cp "$(command -v pinctl)" /usr/bin/pinctl-suid
chmod 4755 /usr/bin/pinctl-suid
asOther pinctl-suid set 16 1 >/tmp/kt.out 2>&1
expect "set 16 1 by another user" "$(cat /tmp/kt.out) $(value 16)" " 1"
expect "the keeper's users" "$(awk '/^Uid:/ { print $2, $3, $4, $5 }' /proc/$(keeper)/status)" "0 0 0 0"
is 0 "" set 16 0
expect "line 16 after root's set 16 0" "$(value 16)" 0
asOther pinctl-suid setd 16 in >/tmp/kt.out 2>&1
expect "setd 16 in by another user" "$(cat /tmp/kt.out) $(line 16 | cut -d' ' -f1)" " used=0"
rm -f /usr/bin/pinctl-suid
end

begin "an interrupt arms again on a chip that comes back"
back=$(makeSimChip back 4 varnel-back) || fail "no chip to take away"
printf '21 varnel-back 2\n' >$map
export VARNEL_PINMAP=$map
rm -f /tmp/e21
is 0 "" irq 21 both "echo edge >>/tmp/e21"
pid=$(recordPid 21 irq)
simPull back 2 up
expect "edges before" "$(settle 1 /tmp/e21)" 1
c=/sys/kernel/config/gpio-sim/back
echo 0 >$c/live && echo 1 >$c/live || fail "cannot take the chip offline and back"
again=$(cat $c/bank0/chip_name)
waitUntil 50 sh -c "uapiline info /dev/$again 2 | grep -q used=1" || fail "line 2 of $again is not armed again"
simPull back 2 up
expect "edges once it came back" "$(settle 2 /tmp/e21)" 2
simPull back 2 down
expect "and the next" "$(settle 3 /tmp/e21)" 3
alive "$pid" || fail "the worker ended"
is 0 "" irqstop 21
unset VARNEL_PINMAP
removeSimChip back
end

begin "one wait budget: a stopped keeper delays a command some 5 s at most"
is 0 "" set all 1
k=$(keeper)
kill -STOP "$k"
t0=$(nowMs)
pc set all 0
t=$(($(nowMs) - t0))
expect "set all 0 status" "$rc" $ETIMEDOUT
expect "set all 0 errors" "$(echo "$out" | grep -c "err=$ETIMEDOUT\$")" "$(echo $usable | wc -w)"
[ $t -le 8000 ] || fail "set all 0 took $t ms"
t0=$(nowMs)
pc get 6
t=$(($(nowMs) - t0))
expect "get 6" "$rc/$out" "$ETIMEDOUT/**ERROR getting pin:6 value, err=$ETIMEDOUT"
[ $t -le 8000 ] || fail "get 6 took $t ms"
kill -CONT "$k"
is 0 "" set all 0
is 0 "" setd all in
end

begin "the keeper lets go of the lines of a chip that goes"
is 0 "" setd all in
extra=$(makeSimChip extra 4 varnel-extra) || fail "no extra chip"
printf '21 /dev/%s 2\n' "$extra" >$map
VARNEL_PINMAP=$map pc set 21 1
expect "set 21 1" "$rc/$out" "0/"
k=$(keeper)
[ -n "$k" ] || fail "no keeper for line 2 of $extra"
removeSimChip extra || fail "cannot remove $extra"
waitUntil 30 sh -c "! [ -d /proc/$k ] || grep -q ' Z ' /proc/$k/stat" || fail "the keeper of a removed chip's line lives on"
end

begin "workers and the keeper keep none of the caller's descriptors"
exec 7>/tmp/fd7
is 0 "" set 6 1
pull 9 down
pinctl irq 9 rising 'ls -l /proc/self/fd/ >/tmp/fd9' >/tmp/irq9.out 2>&1
out=$(timeout 10 sh -c 'x=$( { pinctl pwm 16 50 50; } 3>&1 ); echo returned')
expect "pwm inside \$() with descriptor 3 on the pipe" "$out" "returned"
exec 7>&-
for pid in $(keeper) $(recordPid 9 irq) $(recordPid 16 pwm); do
    ls -l /proc/$pid/fd/ 2>/dev/null | grep -q fd7 && fail "process $pid keeps the caller's descriptor 7"
done
pull 9 up
settle 1 /tmp/fd9 >/dev/null
grep -q fd7 /tmp/fd9 && fail "the interrupt command got the caller's descriptor 7"
is 0 "" irqstop 9
is 0 "" pwmstop 16
is 0 "" setd 6 in
pull 9 down
end

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
