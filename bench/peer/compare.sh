#!/usr/bin/env bash
# Side by side, in one run: this project over cdsd against a private Redis on
# a Unix socket (the peer) and a raw Unix-socket ping-pong (the floor).
#   bench/peer/compare.sh BUILD_DIR [ROUNDS] [PLACEMENTS]
# BUILD_DIR was configured with -DCDS_BUILD_BENCH=ON on a machine that has
# redis-server, redis-benchmark and libhiredis-dev (cds_peer_bench is only
# built with hiredis). Rounds (3 by default) interleave ours and the peer's
# figures, each latency and throughput figure taken in three short runs per
# round; a table per placement shows the median over all runs of each figure,
# and the load average before each round. System calls and wake-ups per read
# are counted with `perf stat` when it is allowed to count them, instructions
# per read with bench/instructions_per_read.sh when valgrind is installed.
#
# Where the processes run decides most of a latency on a virtual machine
# whose idle vCPUs halt, so the rounds run under each of PLACEMENTS (all three
# by default): "free" leaves it to the kernel; "together" pins every process
# to one CPU; "apart" pins the clients (and the subscribers they start) to one
# CPU and the servers (cdsd, redis-server, the floor's echo) to another.
set -euo pipefail
build=${1:?usage: compare.sh BUILD_DIR [ROUNDS] [PLACEMENTS]}
rounds=${2:-3}
placements=${3:-free together apart}
ours=$build/bench/cds_bench
peer=$build/bench/cds_peer_bench
for tool in "$ours" "$peer"; do
  [ -x "$tool" ] || { echo "compare: $tool is missing (build with -DCDS_BUILD_BENCH=ON and libhiredis-dev)" >&2; exit 2; }
done
for tool in redis-server redis-benchmark redis-cli python3; do
  command -v "$tool" >/dev/null || { echo "compare: $tool is not installed" >&2; exit 2; }
done

dir=$(mktemp -d /tmp/cds-peer-XXXXXX)
sock=$dir/redis.sock
redis_pid=
cleanup() {
  [ -z "$redis_pid" ] || { kill "$redis_pid" 2>/dev/null; wait "$redis_pid" 2>/dev/null || true; }
  rm -rf "$dir"
}
trap cleanup EXIT
# No TCP, no snapshots, no append-only file: memory only, like cdsd without --store.
redis-server --port 0 --unixsocket "$sock" --unixsocketperm 700 --save '' --appendonly no \
  --dir "$dir" --logfile "$dir/redis.log" &
redis_pid=$!
for _ in $(seq 100); do redis-cli -s "$sock" ping >/dev/null 2>&1 && break; sleep 0.1; done
redis-cli -s "$sock" ping >/dev/null || { echo "compare: redis-server did not start" >&2; cat "$dir/redis.log" >&2; exit 1; }

# The two CPUs pinned runs use: the first two this script may run on.
read -r first_cpu second_cpu all_cpus < <(python3 -c 'import os; c = sorted(os.sched_getaffinity(0))
print(c[0], c[1] if len(c) > 1 else "-", ",".join(map(str, c)))')
for p in $placements; do
  case $p in
    free | together) ;;
    apart) [ "$second_cpu" != - ] || { echo "compare: placement apart needs two CPUs" >&2; exit 2; } ;;
    *) echo "compare: unknown placement $p (free, together, apart)" >&2; exit 2 ;;
  esac
done
# cdsd as the benchmark starts it, on the servers' CPU when one is set.
cdsd=${CDS_TEST_CDSD:-$build/store/daemon/cdsd}
cat > "$dir/cdsd" <<EOF
#!/bin/sh
[ -z "\${CDS_BENCH_SERVER_CPU:-}" ] || exec taskset -c "\$CDS_BENCH_SERVER_CPU" "$cdsd" "\$@"
exec "$cdsd" "\$@"
EOF
chmod +x "$dir/cdsd"
export CDS_TEST_CDSD=$dir/cdsd
client_cpu=
# Pins what follows to placement $1: the clients' CPU (for on()), and the
# servers' CPU of cdsd, the echo and redis-server.
place() {
  case $1 in
    free) client_cpu= ; unset CDS_BENCH_SERVER_CPU ;;
    together) client_cpu=$first_cpu; export CDS_BENCH_SERVER_CPU=$first_cpu ;;
    apart) client_cpu=$first_cpu; export CDS_BENCH_SERVER_CPU=$second_cpu ;;
  esac
  taskset -a -p -c "${CDS_BENCH_SERVER_CPU:-$all_cpus}" "$redis_pid" >/dev/null
}
on() {  # runs a client command on the clients' CPU
  if [ -n "$client_cpu" ]; then taskset -c "$client_cpu" "$@"; else "$@"; fi
}

latency='^BM_(DaemonGetChannelCValue|UnixSocketPingPongFloor|DaemonWriteToCallbackInAnotherProcess|DaemonClientThreads)'
# Each latency and throughput figure in three short runs per round: on one
# CPU a run of a notification benchmark keeps one of two levels from its
# start to its end, on both sides, and each run starts its subscriber anew.
# A figure is the median of all its runs; the lowest and highest run of each
# latency are printed under each table.
repeated='--benchmark_repetitions=3 --benchmark_min_time=0.4'
rps() {  # requests/s of redis-benchmark GET with $1 clients
  on redis-benchmark -s "$sock" -t get -n 100000 -c "$1" -q | tr '\r' '\n' | awk '/^GET:/ {print $2}' | tail -1
}
first_placement=${placements%% *}
for p in $placements; do
  place "$p"
  for r in $(seq "$rounds"); do
    cut -d' ' -f1-3 /proc/loadavg > "$dir/$p-load-$r"
    echo "placement $p, round $r of $rounds (load $(cat "$dir/$p-load-$r"))" >&2
    on "$ours" --benchmark_filter="$latency" $repeated --benchmark_format=json > "$dir/$p-ours-$r.json"
    CDS_PEER_SOCKET=$sock on "$peer" --benchmark_filter='^BM_Peer(Get|Publish)' $repeated \
      --benchmark_format=json > "$dir/$p-peer-$r.json"
    echo "$(rps 1) $(rps 8)" > "$dir/$p-rps-$r"
    [ "$p" = "$first_placement" ] || continue
    # Memory on a fresh cdsd each round (one benchmark per process), and on the peer after FLUSHALL.
    "$ours" --benchmark_filter='^BM_DaemonMemoryPerChannel' --benchmark_format=json > "$dir/ours-mem-$r.json"
    CDS_PEER_SOCKET=$sock "$peer" --benchmark_filter='^BM_PeerMemoryPerKey' --benchmark_format=json > "$dir/peer-mem-$r.json"
  done
done
place free

# Per read, counted over one second in the middle of a read benchmark, the
# client and its server at once (as bench/syscalls_per_read.sh does): ours
# the benchmark and the cdsd it forks, the peer's the benchmark and
# redis-server. The client sends one request per read (sendto, or write for
# hiredis), which counts the reads. A wake-up is counted by the thread that
# makes it (sched_waking).
events=raw_syscalls:sys_enter,sched:sched_waking,syscalls:sys_enter_sendto,syscalls:sys_enter_write
# Runs the client command in the background and counts it and its server
# (a pid, or "" for the cdsd the client forks) over one second in its middle.
count_during() {  # label, server pid, client command...
  local label=$1 server=$2
  shift 2
  "$@" >/dev/null 2>&1 &
  local client=$!
  sleep 2
  [ -n "$server" ] || server=$(pgrep -P "$client" cdsd)
  perf stat -x, -e "$events" -p "$client" -o "$dir/perf-$label-client" -- sleep 1 &
  local client_perf=$!
  perf stat -x, -e "$events" -p "$server" -o "$dir/perf-$label-server" -- sleep 1 || true
  wait "$client_perf" || true
  wait "$client" || true
}
if perf stat -x, -e "$events" true >/dev/null 2>&1; then
  count_during ours "" env CDS_BENCH_BIG_ANSWER_FIRST=1 "$ours" --benchmark_filter='^BM_DaemonGetChannelCValue' \
    --benchmark_min_time=4
  count_during peer "$redis_pid" env CDS_PEER_SOCKET="$sock" "$peer" --benchmark_filter='^BM_PeerGet' \
    --benchmark_min_time=4
fi

# Instructions per read, which this machine's load does not move (needs valgrind).
if command -v valgrind >/dev/null; then
  CDS_TEST_CDSD=$cdsd bash "$(dirname "$0")/../instructions_per_read.sh" "$build" > "$dir/instructions" 2>/dev/null || true
fi

python3 - "$dir" "$rounds" $placements <<'PY'
import functools, json, os, statistics, sys
d, rounds, placements = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
@functools.lru_cache(maxsize=None)  # each file is read once, however many figures it holds
def runs(path):
    """The runs of a benchmark file, repetitions apart (their aggregates left out)."""
    try:
        return [b for b in json.load(open(path))["benchmarks"]
                if "error_message" not in b and b.get("run_type", "iteration") == "iteration"]
    except (OSError, ValueError, KeyError):
        return []
def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None
def values(kind, name, counter):
    """`counter` of every run of `name` in every round."""
    return [b.get(counter) for r in range(1, rounds + 1)
            for b in runs(f"{d}/{kind}-{r}.json") if b["name"].startswith(name) and b.get(counter) is not None]
def field(kind, name, counter):
    """The median of `counter` over every run of `name` in every round."""
    return med(values(kind, name, counter))
def rps(p, i):
    vals = []
    for r in range(1, rounds + 1):
        try: vals.append(float(open(f"{d}/{p}-rps-{r}").read().split()[i]))
        except (OSError, ValueError, IndexError): pass
    return med(vals)
def f(v, unit="", digits=1):
    return "n/a" if v is None else f"{v:.{digits}f}{unit}"
def ratio(a, b):
    return "n/a" if a is None or not b else f"{a / b:.2f}"
k = lambda v: "n/a" if v is None else f"{v / 1000:.1f} k"

def per_read(label):
    # (system calls, wake-ups) of client and server, per request the client sent
    totals = {}
    for side in ("client", "server"):
        try:
            for line in open(f"{d}/perf-{label}-{side}"):
                parts = line.strip().split(",")
                if len(parts) > 2 and parts[0].isdigit():
                    totals[(side, parts[2])] = int(parts[0])
        except OSError:
            return None
    reads = totals.get(("client", "syscalls:sys_enter_sendto"), 0) + totals.get(("client", "syscalls:sys_enter_write"), 0)
    if not reads: return None
    return tuple(sum(totals.get((side, e), 0) for side in ("client", "server")) / reads
                 for e in ("raw_syscalls:sys_enter", "sched:sched_waking"))
def instructions(label):
    try:
        for line in open(f"{d}/instructions"):
            if line.startswith(label): return float(line.split()[-1])
    except (OSError, ValueError):
        pass
    return None

where = {"free": "where the kernel puts each process",
         "together": "every process on one CPU",
         "apart": "clients and their subscribers on one CPU, cdsd, redis-server and the echo on another"}
for n, p in enumerate(placements):
    latency = lambda side, name: (field(f"{p}-{side}", name, "median_us"), field(f"{p}-{side}", name, "p99_us"))
    get, get99 = latency("ours", "BM_DaemonGetChannelCValue")
    floor, floor99 = latency("ours", "BM_UnixSocketPingPongFloor")
    pget, pget99 = latency("peer", "BM_PeerGet")
    cb, cb99 = latency("ours", "BM_DaemonWriteToCallback")
    pub, pub99 = latency("peer", "BM_PeerPublish")
    t1 = field(f"{p}-ours", "BM_DaemonClientThreads/real_time/threads:1", "items_per_second")
    t8 = field(f"{p}-ours", "BM_DaemonClientThreads/real_time/threads:8", "items_per_second")
    r1, r8 = rps(p, 0), rps(p, 1)
    if n: print()
    print(f"placement {p} ({where[p]}):")
    print()
    print("| what | this project over cdsd | peer or floor | ratio |")
    print("|---|---|---|---|")
    print(f"| read one channel value | {f(get,' µs')} (p99 {f(get99)}) | hiredis GET {f(pget,' µs')} (p99 {f(pget99)}); "
          f"Unix-socket ping-pong {f(floor,' µs')} (p99 {f(floor99)}) | {ratio(get, pget)} × the peer (p99 {ratio(get99, pget99)} ×), "
          f"{ratio(get, floor)} × the floor (p99 {ratio(get99, floor99)} ×) |")
    print(f"| value write → callback in another process | {f(cb,' µs')} (p99 {f(cb99)}) | PUBLISH → subscriber {f(pub,' µs')} (p99 {f(pub99)}) | {ratio(cb, pub)} × (p99 {ratio(cb99, pub99)} ×) |")
    print(f"| requests/s, 1 thread / 8 threads | {k(t1)} / {k(t8)} | redis-benchmark GET `-c 1` {k(r1)} / `-c 8` {k(r8)} | {ratio(t1, r1)} / {ratio(t8, r8)} |")
    def spread(side, name):
        v = values(f"{p}-{side}", name, "median_us")
        return f"{min(v):.1f}–{max(v):.1f}" if v else "n/a"
    spreads = (f"(run medians, lowest–highest, µs: read {spread('ours', 'BM_DaemonGetChannelCValue')}, "
               f"GET {spread('peer', 'BM_PeerGet')}; notification {spread('ours', 'BM_DaemonWriteToCallback')}, "
               f"PUBLISH {spread('peer', 'BM_PeerPublish')})")
    if not n:
        # What does not depend on where the processes run, once.
        mem, pmem = field("ours-mem", "BM_DaemonMemoryPerChannel", "bytes_per_channel"), field("peer-mem", "BM_PeerMemoryPerKey", "bytes_per_key")
        print(f"| memory per channel with a value | {f(mem,' B',0)} (cdsd RSS growth over 10 000) | {f(pmem,' B',0)} per key (redis RSS growth over 10 000) | {ratio(mem, pmem)} × |")
        cost, pcost = per_read("ours"), per_read("peer")
        sc = lambda c: "n/a" if c is None else f"{c[0]:.1f} / {c[1]:.1f}"
        print(f"| system calls / thread wake-ups per read (client + server) | {sc(cost)} | {sc(pcost)} | |")
        ins, pins = instructions("this project"), instructions("hiredis")
        print(f"| instructions per read (client + server, callgrind) | {f(ins,'',0)} | {f(pins,'',0)} | {ratio(ins, pins)} × |")
    print()
    print(spreads)
print()
print("load average (1, 5, 15 min) before each round: " +
      "; ".join(p + " " + ", ".join(open(f"{d}/{p}-load-{r}").read().strip() for r in range(1, rounds + 1))
                for p in placements))
PY
