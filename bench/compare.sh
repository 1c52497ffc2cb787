#!/usr/bin/env bash
# compare.sh - kpt's receive and injection cost per packet beside peers that
# do the same work in software on this machine: the ring and null ports of a
# widely used user-space packet framework (needs its development package,
# libdpdk-dev) and Linux packet sockets (TPACKET_V3 receive, sendmmsg send,
# over a veth pair in a private network namespace: needs root).  A peer
# whose requirement is missing is skipped with a message.
#
# Everything runs one after the other in this invocation, REPS times (3 by
# default); each figure is the median of its repetitions.  Figures are CPU
# time of the measuring thread per packet.  See bench/README.md for what
# each row compares and what it does not.
#
#   bench/compare.sh            build (Release, in build-bench/) and compare
#   BUILD=dir REPS=5 bench/compare.sh
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BUILD:-$root/build-bench}
reps=${REPS:-3}
work=$(mktemp -d /tmp/kpt-compare-XXXXXX)
netns=""

cleanup() {
    if [ -n "$netns" ]; then ip netns del "$netns" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

say() { printf '%s\n' "$*" >&2; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

load_before=$(loadavg)

# ---- build ----------------------------------------------------------------
say "compare: building kpt's benchmarks (Release) in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; exit 1; }
nice cmake --build "$build" -j2 --target bench_rx bench_tx quor_simd kpt_inj kpt_pcap >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; exit 1; }
bench_rx=$(find "$build" -type f -name bench_rx -perm -u+x | head -1)
bench_tx=$(find "$build" -type f -name bench_tx -perm -u+x | head -1)

have_dpdk=0
if pkg-config --exists libdpdk 2>/dev/null; then
    if gcc -O2 -Wall $(pkg-config --cflags libdpdk) "$here/peers/dpdk_peer.c" -o "$work/dpdk_peer" \
        $(pkg-config --libs libdpdk) -lrte_net_ring >"$work/dpdk_build.log" 2>&1; then
        have_dpdk=1
    else
        cat "$work/dpdk_build.log" >&2
        say "compare: the framework peer does not build: its rows are skipped"
    fi
else
    say "compare: libdpdk-dev is not installed (apt-get install libdpdk-dev): the ring and null port rows are skipped"
fi

have_pktsock=0
if [ "$(id -u)" -ne 0 ]; then
    say "compare: not root: the packet socket rows are skipped"
elif ! command -v ip >/dev/null; then
    say "compare: no ip command (iproute2): the packet socket rows are skipped"
elif gcc -O2 -Wall "$here/peers/pktsock_peer.c" -o "$work/pktsock_peer" 2>"$work/pktsock_build.log"; then
    netns=kptcmp$$
    if ip netns add "$netns" &&
        ip netns exec "$netns" ip link add kc0 type veth peer name kc1 &&
        ip netns exec "$netns" ip link set kc0 up &&
        ip netns exec "$netns" ip link set kc1 up; then
        have_pktsock=1
    else
        say "compare: cannot make a network namespace with a veth pair: the packet socket rows are skipped"
    fi
else
    cat "$work/pktsock_build.log" >&2
fi

have_tcpdump=0
if [ $have_pktsock = 1 ] && [ -x /usr/bin/tcpdump ] && [ -f "$build/lib/libkpt_pcap.so" ]; then
    have_tcpdump=1
else
    say "compare: tcpdump (apt-get install tcpdump) or the packet socket peer is missing: the tcpdump rows are skipped"
fi

# tcpdump itself, writing to /dev/null, on a port (through the preloaded
# library) and on a packet socket over the veth pair: the same frames from
# kpt_inj at the same pace, a port cable (0 to 1) for the one, the veth pair
# behind simulated port 2 (iface:kc0) for the other.  The CPU time tcpdump
# takes while the frames pass (its set-up left out), per captured frame:
# prints "tcpdump <port|veth> 60 <ns>".
tcpdump_frames=1000000
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0; }
tcpdump_run() { # label device preload inj-port
    local dev="$work/dev" out="$work/td.$1" pid="" t c0 c1 frames
    ip netns exec "$netns" env ZAL_DEV_DIR="$dev" LD_PRELOAD="$3" \
        /usr/bin/tcpdump -Z root -i "$2" -w /dev/null 2>"$out.err" &
    local td=$!
    for ((t = 0; t < 300; t++)); do grep -qs "listening on" "$out.err" && break; sleep 0.1; done
    pid=$(pgrep -f "^/usr/bin/tcpdump -Z root -i $2 " | head -1)
    c0=$(cpu_ticks "$pid")
    ip netns exec "$netns" env ZAL_DEV_DIR="$dev" "$build/bin/kpt_inj" -b "$4" -n $tcpdump_frames \
        -l 18 -P 0.2 >/dev/null 2>&1 || say "compare: kpt_inj failed"
    sleep 1
    c1=$(cpu_ticks "$pid")
    kill -TERM "$td" 2>/dev/null || true
    wait $td || true
    frames=$(awk '/packets captured/ { print $1 }' "$out.err")
    if [ -n "$frames" ] && [ "$frames" -gt 0 ]; then
        awk -v l="$1" -v c=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" -v f="$frames" \
            'BEGIN { printf "tcpdump %s 60 %.1f\n", l, c / hz * 1e9 / f }'
    else
        say "compare: tcpdump on $2 captured nothing"
    fi
}
if [ $have_tcpdump = 1 ]; then
    mkdir -p "$work/dev"
    ip netns exec "$netns" "$build/bin/quor_simd" --dir "$work/dev" --ports 3 --wire 0=peer:1 \
        --wire 2=iface:kc0 >"$work/simd.log" 2>&1 &
    simd=$!
    sleep 1
fi

# ---- runs -----------------------------------------------------------------
# Results: one "<source> <work> <frame> <ns/pkt>" line per measurement.
res="$work/results"
: >"$res"

# Google Benchmark JSON, one field a line: ns per packet from each run's
# items per second (items are packets).  Settings that Google Benchmark adds
# to a name ("/min_time:2.000") are dropped.
gbench() {
    local prog=$1 filter=$2 out="$work/gbench.json" rc=0
    "$prog" --benchmark_filter="$filter" --benchmark_format=json >"$out" 2>"$work/gbench.err" || rc=$?
    [ $rc = 0 ] || say "compare: $(basename "$prog") failed (status $rc); the figures it printed are kept"
    awk '
            /"name":/ {
                name = $0; sub(/.*"name": *"/, "", name); sub(/".*/, "", name)
                gsub(/\/[a-z_]+:[^\/]*/, "", name)
                n = split(name, part, "/")
                work = part[1]; if (n > 2) work = work "/" part[3]
            }
            /"items_per_second":/ {
                v = $0; sub(/.*: */, "", v); sub(/,.*/, "", v)
                if (v + 0 > 0) printf "kpt %s %s %.3f\n", work, part[2], 1e9 / v
            }' "$out"
}

for ((rep = 1; rep <= reps; rep++)); do
    say "compare: repetition $rep of $reps"
    gbench "$bench_rx" '^BM_RingRecv/(64|512|1514)$|^BM_RingRecvMany/(64|512|1514)/32$' >>"$res"
    gbench "$bench_tx" '^BM_InjectSend(Alone)?/(60|512|1514)(/|$)' >>"$res"
    if [ $have_dpdk = 1 ]; then
        "$work/dpdk_peer" 2>"$work/dpdk.err" | sed 's/^/dpdk /' >>"$res" ||
            { cat "$work/dpdk.err" >&2; say "compare: the framework peer failed"; }
    fi
    if [ $have_pktsock = 1 ]; then
        ip netns exec "$netns" "$work/pktsock_peer" kc0 kc1 2>"$work/pktsock.err" |
            sed 's/^/pktsock /' >>"$res" ||
            { cat "$work/pktsock.err" >&2; say "compare: the packet socket peer failed"; }
    fi
    if [ $have_tcpdump = 1 ]; then
        tcpdump_run port quor1 "$build/lib/libkpt_pcap.so" 0 >>"$res"
        tcpdump_run veth kc1 "" 2 >>"$res"
    fi
done
if [ $have_tcpdump = 1 ]; then kill "$simd" 2>/dev/null || true; wait "$simd" 2>/dev/null || true; fi

load_after=$(loadavg)

# ---- table ----------------------------------------------------------------
median() { # source work frame
    awk -v s="$1" -v w="$2" -v f="$3" '$1 == s && $2 == w && $3 == f { print $4 }' "$res" |
        sort -g | awk '{ v[NR] = $1 } END { if (NR) printf "%.2f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

row() { # label kpt-work frame peer-source peer-work peer-frame
    local k p ratio
    k=$(median kpt "$2" "$3")
    p=$(median "$4" "$5" "$6")
    ratio=$(awk -v k="$k" -v p="$p" 'BEGIN { if (k != "" && p != "" && p > 0) printf "%.2f", k / p; else print "-" }')
    printf '%-58s | %10s | %11s | %8s\n' "$1" "${k:-failed}" "${p:-skipped}" "$ratio"
}

model=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
echo "machine: ${model:-unknown CPU}, $(nproc) cores; load average before: $load_before; after: $load_after"
echo "repetitions: $reps (medians); ns per packet in CPU time of the measuring thread"
printf '%-58s | %10s | %11s | %8s\n' "work" "kpt ns/pkt" "peer ns/pkt" "kpt/peer"
printf '%s\n' "-----------------------------------------------------------+------------+-------------+---------"
for f in 64 512 1514; do
    row "receive $f B, batches of 32 / ring port, bursts of 32" BM_RingRecvMany/32 $f dpdk ring_rx $f
done
for f in 64 1514; do
    row "receive $f B, one per call / ring port, bursts of 32" BM_RingRecv $f dpdk ring_rx $f
done
for f in 64 1514; do
    row "receive $f B, batches of 32 / null port, bursts of 32" BM_RingRecvMany/32 $f dpdk null_rx $f
done
for f in 60 512 1514; do
    row "inject $f B, nothing reads the ring / null port" BM_InjectSendAlone $f dpdk null_tx $f
done
for f in 60 512 1514; do
    row "inject $f B, simulated adapter reads / null port" BM_InjectSend $f dpdk null_tx $f
done
for f in 64 1514; do
    row "receive $f B, batches of 32 / TPACKET_V3 ring, filled" BM_RingRecvMany/32 $f pktsock pkt_rx $f
done
for f in 60 1514; do
    row "inject $f B / sendmmsg of 32 over veth" BM_InjectSend $f pktsock pkt_tx $f
done
# Not a benchmark of the library: both columns are tcpdump's own CPU time.
k=$(median tcpdump port 60); p=$(median tcpdump veth 60)
printf '%-58s | %10s | %11s | %8s\n' "tcpdump -w /dev/null, 60 B at 200 kpps / on veth" "${k:-skipped}" "${p:-skipped}" \
    "$(awk -v k="$k" -v p="$p" 'BEGIN { if (k != "" && p != "" && p > 0) printf "%.2f", k / p; else print "-" }')"
