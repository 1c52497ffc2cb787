#!/usr/bin/env bash
# soak.sh [MINUTES] - a long run of the whole stack against quor_simd (not
# part of CI; default 10 minutes).
#
#   port 0: a generator at line rate, read by four rings on a shared queue
#   port 1: injection, cabled to port 2
#   port 2: one reader of what port 1 sends
#
# Readers are restarted every few seconds and clients are killed (SIGKILL) at
# random.  At the end every client is stopped and the run fails when a frame
# was lost without being counted (generated or sent = received + counted
# drops, to the frame), when the simulator holds more descriptors or shared
# memory than before the first client, or when a port no longer serves a
# fresh client (wedged).  The totals are printed either way.
#
# Binaries come from $KPT_BIN (default: build/bin of this tree).
set -u

MINUTES=${1:-10}
case "$MINUTES" in
'' | *[!0-9]*)
    echo "usage: soak.sh [MINUTES]" >&2
    exit 2
    ;;
esac
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${KPT_BIN:-$ROOT/build/bin}
for b in quor_simd quor_simctl kpt_nthread_recv kpt_1thread_recv kpt_inj; do
    [ -x "$BIN/$b" ] || {
        echo "soak: $BIN/$b is missing (build first, or set KPT_BIN)" >&2
        exit 2
    }
done

WORK=$(mktemp -d /tmp/kpt-soak.XXXXXX)
export ZAL_DEV_DIR=$WORK
LOG=$WORK/log
mkdir -p "$LOG"

SIM_PID=
declare -A PIDS=() # role -> pid of the running client
STARTS=0 KILLS=0 RESTARTS=0

ctl() { "$BIN/quor_simctl" --dir "$WORK" "$@"; }

cleanup() {
    for r in "${!PIDS[@]}"; do kill -KILL "${PIDS[$r]}" 2>/dev/null; done
    [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
    if [ "${KEEP:-0}" = 1 ]; then echo "soak: logs kept in $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$BIN/quor_simd" --dir "$WORK" --ports 3 --wire 0=gen:rate=line,len=60-1514 \
    --wire 2=peer:1,pause=off >"$LOG/simd.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do
    grep -q "quor_simd ready" "$LOG/simd.out" 2>/dev/null && break
    sleep 0.1
done
grep -q "quor_simd ready" "$LOG/simd.out" || {
    echo "soak: quor_simd did not start" >&2
    cat "$LOG/simd.out" >&2
    exit 1
}

# Regions, arena bytes and descriptors of the simulator with no client.
resources() { ctl resources | grep -v '^ok$' | sed 's/, connections [0-9]*//'; }
BASELINE=$(resources)

start() { # role
    local role=$1 out=$LOG/$1.$STARTS
    STARTS=$((STARTS + 1))
    case $role in
    rx0) KPT_NUM_RINGS=4 "$BIN/kpt_nthread_recv" -b 0 -w 4 -W 100 >"$out" 2>&1 & ;;
    rx2) "$BIN/kpt_1thread_recv" -b 2 >"$out" 2>&1 & ;;
    inj) "$BIN/kpt_inj" -b 1 -r 1000000 -l 60-1400:R >"$out" 2>&1 & ;;
    esac
    PIDS[$role]=$!
}

stop() { # role signal
    local pid=${PIDS[$1]:-}
    [ -n "$pid" ] || return 0
    kill "-$2" "$pid" 2>/dev/null
    # A client that ignores a polite request for 5 s is killed.
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    { wait "$pid"; } 2>/dev/null
    unset "PIDS[$1]"
}

connections() { ctl status | grep -o 'connections [0-9]*' | awk '{ n += $2 } END { print n + 0 }'; }

END=$((SECONDS + MINUTES * 60))
for r in rx0 rx2 inj; do start $r; done
NEXT_REPORT=$((SECONDS + 60))
while [ $SECONDS -lt $END ]; do
    sleep "$((2 + RANDOM % 4))"
    # The readers come back every few seconds; one client in three dies hard.
    for r in rx0 rx2; do
        stop $r INT
        start $r
        RESTARTS=$((RESTARTS + 1))
    done
    if [ $((RANDOM % 3)) = 0 ]; then
        roles=(rx0 rx2 inj)
        r=${roles[$((RANDOM % 3))]}
        sleep "0.$((RANDOM % 10))"
        stop "$r" KILL
        KILLS=$((KILLS + 1))
        start "$r"
    fi
    if [ $SECONDS -ge $NEXT_REPORT ]; then
        echo "soak: $((SECONDS / 60)) min: $(ctl counters | tr '\n' ' ' | sed 's/ ok $//')"
        NEXT_REPORT=$((SECONDS + 60))
    fi
done
for r in rx0 rx2 inj; do stop $r INT; done

fail=0
for _ in $(seq 100); do [ "$(connections)" = 0 ] && break; sleep 0.1; done
[ "$(connections)" = 0 ] || {
    echo "soak: FAIL: connections left open after every client ended"
    fail=1
}

# With no reader started the generator pauses: the counters hold still.
sleep 0.5
COUNTERS=$(ctl counters)
field() { # port name
    echo "$COUNTERS" | awk -v p="port $1:" -v k="$2" 'index($0, p) == 1 {
        for (i = 1; i <= NF; ++i) if ($i == k) { v = $(i + 1); sub(",", "", v); print v } }'
}
g0=$(field 0 generated) r0=$(field 0 received) o0=$(field 0 ring-overflow)
n0=$(field 0 nic-overflow) l0=$(field 0 link-drops)
s1=$(field 1 sent) r2=$(field 2 received) o2=$(field 2 ring-overflow)
n2=$(field 2 nic-overflow) l2=$(field 2 link-drops)

echo "soak: $MINUTES min, $STARTS client starts, $RESTARTS reader restarts, $KILLS clients killed"
echo "soak: port 0: generated $g0 = received $r0 + ring overflow $o0 + nic overflow $n0 + link drops $l0"
echo "soak: port 1 -> 2: sent $s1 = received $r2 + ring overflow $o2 + nic overflow $n2 + link drops $l2"
if [ $((r0 + o0 + n0 + l0)) -ne "$g0" ]; then
    echo "soak: FAIL: port 0 accounts for $((r0 + o0 + n0 + l0)) of $g0 frames"
    fail=1
fi
if [ $((r2 + o2 + n2 + l2)) -ne "$s1" ]; then
    echo "soak: FAIL: port 2 accounts for $((r2 + o2 + n2 + l2)) of $s1 frames sent to it"
    fail=1
fi
if [ "$g0" -eq 0 ] || [ "$r0" -eq 0 ] || [ "$s1" -eq 0 ] || [ "$r2" -eq 0 ]; then
    echo "soak: FAIL: no traffic at all on some port"
    fail=1
fi

NOW=$(resources)
echo "soak: simulator before: $(echo "$BASELINE" | tr '\n' ' ')"
echo "soak: simulator after:  $(echo "$NOW" | tr '\n' ' ')"
if [ "$NOW" != "$BASELINE" ]; then
    echo "soak: FAIL: the simulator holds resources no client owns"
    fail=1
fi

# Wedged ports: fresh clients must get their work done in time.
before=$(field 1 sent)
if ! timeout 20 "$BIN/kpt_inj" -b 1 -n 1000 >"$LOG/final-inj" 2>&1; then
    echo "soak: FAIL: port 1 does not send for a fresh client"
    fail=1
fi
COUNTERS=$(ctl counters)
if [ $(($(field 1 sent) - before)) -ne 1000 ]; then
    echo "soak: FAIL: port 1 sent $(($(field 1 sent) - before)) of 1000 frames of a fresh client"
    fail=1
fi
if ! KPT_NUM_RINGS=4 timeout 20 "$BIN/kpt_nthread_recv" -b 0 -w 4 -n 10000 >"$LOG/final-rx0" 2>&1; then
    echo "soak: FAIL: port 0 does not deliver to a fresh reader"
    fail=1
fi

if [ $fail = 0 ]; then echo "soak: PASS"; else echo "soak: FAIL (logs: $WORK)"; KEEP=1; fi
exit $fail
