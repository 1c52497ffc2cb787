#!/bin/sh
# dump_rates.sh - kpt_dump capturing the simulator's generator into files on
# tmpfs, 10 s a run, as the figures beside bench_dump's.
#
#   bench/dump_rates.sh                  # build/ of the source tree
#   BUILD=/tmp/b SECONDS_RUN=10 bench/dump_rates.sh
#
# 1. bench_dump's CPU per frame of the capture loop (BM_DumpFromRing,
#    medians of three repetitions in random order), and kpt_dump's 1514-byte
#    rate as a share of the file system's limit, the two taken in turn
#    (BM_DumpShareOfLimit), into new files and into files rewritten in place.
# 2. The 1514-byte line-rate generator captured with -C 1000 --prealloc
#    (-W 3, so 3 GB of tmpfs), LINE_RUNS times (3): frames, drops.
# 3. 64-byte frames at rising rates until one loses frames, then halfway
#    between the last rate without loss and the first with; the highest rate
#    without loss is captured again under a sampling profiler (perf, when it
#    runs here) to show where the time goes.
# Every figure is printed with the load average when it was taken.  Not part
# of CI: the machine should be as quiet as it can be.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build}
RUN=${SECONDS_RUN:-10}
BIN=$BUILD/bin
for p in quor_simd quor_simctl kpt_dump bench_dump; do
    [ -x "$BIN/$p" ] || { echo "dump_rates.sh: $BIN/$p is not built" >&2; exit 1; }
done
RING=${RING_KIB:-524288}
# The simulator's device directory (and with it the rings) on tmpfs too.
WORK=$(mktemp -d /dev/shm/kpt-dump-rates-sim-XXXXXX)
OUT=$(mktemp -d /dev/shm/kpt-dump-rates-XXXXXX)
SIMD=
cleanup() {
    [ -n "$SIMD" ] && kill "$SIMD" 2>/dev/null && wait "$SIMD" 2>/dev/null
    rm -rf "$WORK" "$OUT"
}
trap cleanup EXIT INT TERM

load() { cut -d' ' -f1-3 /proc/loadavg; }

# start_sim SPEC: a simulator with one port fed by SPEC.
start_sim() {
    [ -n "$SIMD" ] && kill "$SIMD" 2>/dev/null && wait "$SIMD" 2>/dev/null || true
    rm -rf "$WORK/dev" && mkdir -p "$WORK/dev"
    "$BIN/quor_simd" --dir "$WORK/dev" --ports 1 --wire "0=$1" >"$WORK/simd.log" 2>&1 &
    SIMD=$!
    for _ in $(seq 400); do
        grep -q ready "$WORK/simd.log" 2>/dev/null && break
        sleep 0.05
    done
}

# capture ARGS...: kpt_dump for $RUN seconds from the moment the port
# delivers (a large ring takes a while to set up); prints its summary line.
# With PERF set, the run is sampled into $WORK/perf.data.
capture() {
    rm -f "$OUT"/cap*
    ZAL_DEV_DIR=$WORK/dev "$BIN/kpt_dump" -i quor0 -q -B "$RING" "$@" 2>"$WORK/dump.err" &
    d=$!
    for _ in $(seq 1200); do
        kill -0 "$d" 2>/dev/null || break # it ended on its own (its error is printed below)
        "$BIN/quor_simctl" --dir "$WORK/dev" status 2>/dev/null | grep -q "started yes" && break
        sleep 0.1
    done
    if [ -n "${PERF:-}" ]; then
        perf record -q -e cpu-clock -o "$WORK/perf.data" -p "$d" -- sleep "$RUN" >/dev/null 2>&1 || true
    elif [ -n "${SHOW_CPU:-}" ]; then
        sleep $((RUN / 2))
        ps -L -o comm=,pcpu= -p "$SIMD" | awk '{c[$1]+=$2} END{for (k in c) printf "   quor_simd %s %.0f%%\n", k, c[k]}' >&2
        ps -L -o tid=,pcpu= -p "$d" | awk '{printf "   kpt_dump thread %s %.0f%%\n", $1, $2}' >&2
        sleep $((RUN - RUN / 2))
    else
        sleep "$RUN"
    fi
    # kpt_dump may have ended already (a failed start, a full file system):
    # then its last words are the figure, and the script goes on.
    early=
    kill -INT "$d" 2>/dev/null || early=" (kpt_dump ended before the stop)"
    wait "$d" || true
    echo "$(tail -n 1 "$WORK/dump.err")$early"
}

# lost SUMMARY: frames dropped by the adapter and the ring ("?" when the
# line is not a summary, an error instead); frames SUMMARY: frames captured.
lost() { echo "$1" | awk '/frames captured/ {print $4 + $9; next} {print "?"}'; }
frames() { echo "$1" | awk '{print $1 + 0}'; }

echo "== $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "== bench_dump: CPU per frame, medians of 3 (load $(load))"
"$BIN/bench_dump" --benchmark_filter='DumpFromRing/.*process_time' --benchmark_repetitions=3 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true 2>&1 |
    grep '^BM_.*_median' | sed 's|/min_time:3.000||' | awk '{print "   " $1, $NF}'
echo "== bench_dump: kpt_dump's 1514-byte rate beside the plain loop's, taken in turn (load $(load))"
"$BIN/bench_dump" --benchmark_filter='ShareOfLimit' 2>&1 | grep '^BM_' |
    awk '{printf "   %s", $1; for (i = 2; i <= NF; i++) if ($i ~ /=/) printf " %s", $i; print ""}'
echo "   (load after: $(load))"

echo "== 1514-byte line rate, -C 1000 --prealloc -W 3, ${RUN} s"
for _ in $(seq "${LINE_RUNS:-3}"); do
    start_sim gen:rate=line,len=1514
    l=$(load)
    s=$(capture -C 1000 -W 3 --prealloc -w "$OUT/cap")
    echo "   (load $l) $s"
    echo "   lost: $(lost "$s"), $(awk -v f="$(frames "$s")" -v t="$RUN" 'BEGIN{printf "%.3f Mpps", f/t/1e6}')"
done

echo "== 64-byte frames, ${RUN} s a rate, -C 1000 -W 3"
good=0
bad=0
for mpps in 2.5 3 4 5 6 8 10 12 14.88; do
    pps=$(awk -v m="$mpps" 'BEGIN{printf "%d", m*1e6}')
    [ "$mpps" = 14.88 ] && spec=gen:rate=line,len=60 || spec=gen:pps=$pps,len=60
    start_sim "$spec"
    l=$(load)
    s=$(capture -C 1000 -W 3 -w "$OUT/cap")
    echo "   $mpps Mpps (load $l): $s"
    if [ "$(lost "$s")" = 0 ] && [ "$(frames "$s")" -gt 0 ]; then good=$pps; else bad=$pps; break; fi
done
if [ "$bad" -gt 0 ]; then
    for _ in 1 2; do
        pps=$(( (good + bad) / 2 ))
        start_sim gen:pps=$pps,len=60
        l=$(load)
        s=$(capture -C 1000 -W 3 -w "$OUT/cap")
        echo "   $pps pps (load $l): $s"
        if [ "$(lost "$s")" = 0 ] && [ "$(frames "$s")" -gt 0 ]; then good=$pps; else bad=$pps; fi
    done
fi
echo "   highest 64-byte rate without loss: $good pps"

if [ "$good" -gt 0 ]; then
    start_sim gen:pps=$good,len=60
    if perf record -e cpu-clock -o "$WORK/perf.data" true >/dev/null 2>&1; then
        echo "== where kpt_dump's time goes at $good pps (perf, cpu-clock samples; load $(load))"
        s=$(PERF=1 capture -C 1000 -W 3 -w "$OUT/cap")
        echo "   $s"
        perf report -q -i "$WORK/perf.data" --sort comm,dso,symbol --percent-limit 1.5 2>/dev/null |
            head -25 | sed 's/^/   /'
    fi
    echo "== the simulator's and kpt_dump's threads at $good pps, CPU (load $(load))"
    s=$(SHOW_CPU=1 capture -C 1000 -W 3 -w "$OUT/cap" 2>&1)
    echo "$s"
fi
