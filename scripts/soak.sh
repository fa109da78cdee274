#!/bin/sh
# A soak of one server:
#   scripts/soak.sh [--minutes N] [--clients K] [--kill-every S] [--no-configurator]
#
# Installs the server with the simulator's demo plant and the probe driver (writable tags
# that keep what is written, one set per writing client) in build/soak/install, registers it
# in the project's Wine prefix, opens its configurator window on a private X server (the
# process every client then reaches) and runs K opcsoak clients at once for N minutes (8 and
# 60 unless given), each in one role: subscribers on DA 2.0 callbacks and on DA 1.0 streams,
# a poller, writers that read every value back from the device, asynchronous reads and writes
# with cancels, group and item churn with browsing and properties, and a victim that is killed
# and started again every few minutes (every S seconds with --kill-every; 0: never). Meanwhile the configurator's debug scanning is started
# and stopped now and then, and the server process is sampled every 10 s.
#
# At the end the configurator is closed and the server must end by itself (with
# --no-configurator COM starts the server and it must end after its last client).
# Everything lands in build/soak/: samples.csv, clients.csv (the clients' memory), memory.png,
# verdict.txt, clients/ (each client's JSON line and errors). Exit code 0 only when the
# verdict passes.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
MINUTES=60
CLIENTS=8
CONFIGURATOR=1
KILL_EVERY=
while [ $# -gt 0 ]; do
    case "$1" in
        --minutes) MINUTES=$2; shift 2 ;;
        --clients) CLIENTS=$2; shift 2 ;;
        --kill-every) KILL_EVERY=$2; shift 2 ;;
        --no-configurator) CONFIGURATOR=; shift ;;
        *)
            echo "usage: soak.sh [--minutes N] [--clients K] [--kill-every S] [--no-configurator]" >&2
            exit 2
            ;;
    esac
done
[ "$CLIENTS" -ge 1 ] && [ "$CLIENTS" -le 16 ] || { echo "soak: 1 to 16 clients" >&2; exit 2; }
SECONDS_TOTAL=$((MINUTES * 60))
BUILD="$ROOT/build"
BIN="$BUILD/bin"
OUT="$BUILD/soak"
"$ROOT/scripts/build.sh" x86_64 "$BUILD" OPCServerVEXA opcda_ps opccomn_ps simulator probe_driver \
    opcdefaults configurator_remote opcsoak >/dev/null
export OPC_WINEPREFIX="$BUILD/wineprefix"
# The product's users run a Russian Windows.
export LC_ALL=ru_RU.UTF-8
RUN="$ROOT/scripts/wine-run.sh"
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

rm -rf "$OUT"
mkdir -p "$OUT/install/bin" "$OUT/clients"
INSTALL="$OUT/install"
for f in OPCServerVEXA.exe simulator.dll opcdefaults.exe; do cp "$BIN/$f" "$INSTALL/bin/"; done
cp "$BIN/probe_driver.dll" "$INSTALL/bin/probe.dll"
printf 'simulator.dll|Simulator\r\nprobe.dll|Probe\r\n' >"$INSTALL/Drivers.cfg"
# The probe's tree: a branch per writing client, six tags of three types each. No call log:
# it would grow for the whole run.
{
    printf 'root=Probe\nlog=off\nbranch=Soak\n'
    for s in $(seq 0 15); do
        printf 'branch=Soak.S%s\n' "$s"
        for k in 0 1 2 3 4 5; do
            case $((k % 3)) in 0) t=I4; v=0 ;; 1) t=R8; v=0 ;; *) t=BSTR; v=- ;; esac
            printf 'tag=Soak.S%s.T%s:%s:%s\n' "$s" "$k" "$t" "$v"
        done
    done
} >"$INSTALL/bin/probe.dll.txt"

STATE="$OUT/xvfb"
cleanup() {
    OPC_XVFB_STATE="$STATE" "$ROOT/scripts/wine-stop.sh"
}
trap cleanup EXIT
"$ROOT/scripts/wine-register.sh" --proxy "$BIN/opcda_ps.dll" --proxy "$BIN/opccomn_ps.dll" \
    --server "$INSTALL/bin/OPCServerVEXA.exe"
"$RUN" "$INSTALL/bin/opcdefaults.exe" "$(winpath "$OUT/soak.cfg")" >/dev/null

# The server process of this prefix: the program itself (not the desktop that started it),
# found by the first word of its command line (COM starts it by the short name it registered
# under); other prefixes may run the same program.
server_pids() {
    for pid in $(pgrep -f 'OPCServerVEXA\.exe|OPCS~' || true); do
        head -c 4096 "/proc/$pid/cmdline" 2>/dev/null | tr '\0' '\n' | head -n 1 |
            grep -qiE '(OPCServerVEXA|OPCS~[0-9A-Z]*)\.exe$' || continue
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$OPC_WINEPREFIX" &&
            echo "$pid"
    done
    return 0
}
status_kb() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status" 2>/dev/null; }

# A window that no longer answers must not hold the run up.
REMOTE() {
    timeout 60 "$RUN" "$BIN/configurator_remote.exe" --desktop=Soak "$@" >>"$OUT/configurator.log" 2>&1
}
if [ -n "$CONFIGURATOR" ]; then
    "$ROOT/scripts/xvfb-start.sh" "$STATE"
    DISPLAY=":$(cat "$STATE.display")"
    export DISPLAY
    setsid "$RUN" explorer.exe /desktop=Soak,1024x768 "$(winpath "$INSTALL/bin/OPCServerVEXA.exe")" \
        -Configure </dev/null >/dev/null 2>&1 &
    REMOTE wait
    REMOTE place 1000 700
    REMOTE select 0.0
fi

# Samples every 10 s: seconds since the start, the server's pid, its resident anonymous
# memory (what it owns privately under Wine), resident memory, threads, open Unix files, its
# CPU time, and how many server processes of this prefix there were.
START=$(date +%s)
touch "$OUT/events.log" "$OUT/client.pids"
echo "seconds,pid,private_kb,resident_kb,threads,fds,cpu_s,server_processes" >"$OUT/samples.csv"
echo "seconds,pid,client,private_kb" >"$OUT/clients.csv"
sampler() {
    while :; do
        pids=$(server_pids)
        n=$(echo "$pids" | grep -c . || true)
        for pid in $pids; do
            cpu=$(LC_ALL=C awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$pid/stat" 2>/dev/null || echo)
            fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
            echo "$(($(date +%s) - START)),$pid,$(status_kb "$pid" RssAnon),$(status_kb "$pid" VmRSS),$(status_kb "$pid" Threads),$fds,$cpu,$n"
        done >>"$OUT/samples.csv"
        # The clients too: their own data does not grow, so what their memory does is the
        # platform's, the yardstick for the server's.
        for pid in $(pgrep -f 'opcsoak\.exe' || true); do
            tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$OPC_WINEPREFIX" ||
                continue
            role=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null |
                sed -n 's/.*--role \([a-z0-9-]*\) .*--seed \([0-9]*\).*/\1-\2/p')
            [ -n "$role" ] || continue
            echo "$(($(date +%s) - START)),$pid,$role,$(status_kb "$pid" RssAnon)"
        done >>"$OUT/clients.csv"
        sleep 10
    done
}
sampler </dev/null >/dev/null 2>&1 &
SAMPLER=$!

# The clients: one role each, in this order and round again; seeds 1..K give each writer
# tags of its own.
set -- subscriber writer victim poller async churn subscriber-da1 writer
CLIENT_PIDS=
i=1
while [ $i -le "$CLIENTS" ]; do
    n=$(((i - 1) % 8 + 1))
    role=$(eval echo "\${$n}")
    if [ "$role" = victim ]; then
        VICTIM_SEED=$i
    else
        "$RUN" "$BIN/opcsoak.exe" --role "$role" --seconds "$SECONDS_TOTAL" --seed $i \
            >"$OUT/clients/$i-$role.json" 2>"$OUT/clients/$i-$role.log" </dev/null &
        CLIENT_PIDS="$CLIENT_PIDS $!"
        echo $! >>"$OUT/client.pids"
    fi
    i=$((i + 1))
done

# The victim is killed every few minutes (three times in a short run) and started again for
# the time that is left: the server must release what the dead client held by itself.
if [ -z "$KILL_EVERY" ]; then
    KILL_EVERY=$((SECONDS_TOTAL / 3))
    [ $KILL_EVERY -le 180 ] || KILL_EVERY=180
    [ $KILL_EVERY -ge 30 ] || KILL_EVERY=30
fi
victim() {
    life=1
    while :; do
        left=$((START + SECONDS_TOTAL - $(date +%s)))
        [ $left -gt 0 ] || break
        "$RUN" "$BIN/opcsoak.exe" --role victim --seconds "$left" --seed "$VICTIM_SEED" \
            >"$OUT/clients/$VICTIM_SEED-victim.$life.json" \
            2>"$OUT/clients/$VICTIM_SEED-victim.$life.log" </dev/null &
        pid=$!
        echo $pid >>"$OUT/client.pids"
        if [ "$KILL_EVERY" -eq 0 ] || [ $left -le $((KILL_EVERY + 20)) ]; then
            wait $pid || echo "victim $life ended with $?" >>"$OUT/events.log"
            break
        fi
        sleep $KILL_EVERY
        kill -KILL $pid 2>/dev/null && echo "$(($(date +%s) - START)) killed victim $life" >>"$OUT/events.log"
        wait $pid 2>/dev/null || true
        life=$((life + 1))
    done
}
if [ -n "${VICTIM_SEED:-}" ]; then
    victim </dev/null >/dev/null 2>&1 &
    CLIENT_PIDS="$CLIENT_PIDS $!"
fi

# Debug scanning in the configurator: started and stopped once a minute, 20 s each time.
scanner() {
    while :; do
        sleep 40
        REMOTE command 32775 && REMOTE command 32778 &&
            echo "$(($(date +%s) - START)) debug scanning started" >>"$OUT/events.log" ||
            echo "$(($(date +%s) - START)) configurator: cannot start debug scanning" >>"$OUT/events.log"
        sleep 20
        REMOTE command 32779 && REMOTE command 32777 &&
            echo "$(($(date +%s) - START)) debug scanning stopped" >>"$OUT/events.log" ||
            echo "$(($(date +%s) - START)) configurator: cannot stop debug scanning" >>"$OUT/events.log"
    done
}
SCANNER=
if [ -n "$CONFIGURATOR" ]; then
    scanner </dev/null >/dev/null 2>&1 &
    SCANNER=$!
fi

# A client still running two minutes after its time waits for a server that no longer
# answers: it is ended, and the verdict says so.
watchdog() {
    sleep $((SECONDS_TOTAL + 120))
    for pid in $(cat "$OUT/client.pids"); do
        kill -0 "$pid" 2>/dev/null || continue
        kill -KILL "$pid" && echo "$(($(date +%s) - START)) hung client $pid ended" >>"$OUT/events.log"
    done
}
watchdog </dev/null >/dev/null 2>&1 &
WATCHDOG=$!
for pid in $CLIENT_PIDS; do wait "$pid" || true; done
kill "$WATCHDOG" 2>/dev/null || true
LAST_CLIENT=$(date +%s)
echo "$((LAST_CLIENT - START)) last client ended" >>"$OUT/events.log"
if [ -n "$SCANNER" ]; then
    kill "$SCANNER" 2>/dev/null || true
    wait "$SCANNER" 2>/dev/null || true
    # Debug scanning off, then the window closed (nothing was changed: no question).
    REMOTE command 32779 || true
    REMOTE command 32777 || true
    REMOTE post 57665 && echo "$(($(date +%s) - START)) configurator closed" >>"$OUT/events.log"
fi
ENDED=
for _ in $(seq 1 30); do
    if [ -z "$(server_pids)" ]; then
        ENDED=$(($(date +%s) - LAST_CLIENT))
        break
    fi
    sleep 1
done
kill "$SAMPLER" 2>/dev/null || true
wait "$SAMPLER" 2>/dev/null || true
echo "$(($(date +%s) - START)) server ended: ${ENDED:-no}" >>"$OUT/events.log"

if command -v gnuplot >/dev/null; then
    gnuplot <<EOF || echo "soak: no plot" >&2
set terminal png size 1000,600
set output "$OUT/memory.png"
set datafile separator ","
set key top left
set xlabel "minutes"
set ylabel "MB"
set y2label "threads, files"
set ytics nomirror
set y2tics
set title "Server process under a soak of $CLIENTS clients, $MINUTES min"
plot "$OUT/samples.csv" using (\$1/60):(\$3/1024) every ::1 with lines title "private memory", \
     "" using (\$1/60):(\$4/1024) every ::1 with lines title "resident memory", \
     "" using (\$1/60):5 every ::1 axes x1y2 with lines title "threads", \
     "" using (\$1/60):6 every ::1 axes x1y2 with lines title "open files"
EOF
fi
python3 "$ROOT/scripts/soak_verdict.py" "$OUT" --minutes "$MINUTES" --server-ended "${ENDED:-}" \
    --victim-kills "$(grep -c 'killed victim' "$OUT/events.log" || true)" --kill-every "$KILL_EVERY" \
    ${CONFIGURATOR:+--configurator} --wine
