#!/bin/bash
# System calls, thread wake-ups and CPU time per read over cdsd, client and
# daemon apart: counted over one second in the middle of
# BM_DaemonGetChannelCValue. Counts do not depend on the machine's load,
# unlike times; CPU time depends on it less than latency does.
#
# usage: bench/syscalls_per_read.sh [BUILD_DIR]   (needs perf; run as root)
# The daemon is the build's own, or CDS_TEST_CDSD when set.
set -eu
build=${1:-build}
bench=$build/bench/cds_bench
# A wake-up is counted by the thread that makes it (sched_waking; sched_wakeup
# is often recorded on the woken CPU's idle task and missed): the totals are
# what counts, the split only says who woke whom.
events=task-clock,raw_syscalls:sys_enter,syscalls:sys_enter_sendto,syscalls:sys_enter_recvfrom,syscalls:sys_enter_epoll_wait,syscalls:sys_enter_futex,syscalls:sys_enter_poll,sched:sched_waking
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# After one answer the socket could not take at once (see the benchmark).
CDS_BENCH_BIG_ANSWER_FIRST=1 "$bench" --benchmark_filter=BM_DaemonGetChannelCValue --benchmark_min_time=4 \
  >/dev/null 2>&1 &
client=$!
sleep 2
daemon=$(pgrep -P "$client" cdsd)
perf stat -x, -e "$events" -p "$client" -o "$out/client" -- sleep 1 &
perf stat -x, -e "$events" -p "$daemon" -o "$out/daemon" -- sleep 1
wait $!
wait "$client"

# The client sends one frame per read: its sendto count is the number of reads.
python3 - "$out/client" "$out/daemon" <<'EOF'
import sys
def load(path):
    counts = {}
    for line in open(path):
        f = line.strip().split(',')
        if len(f) > 3 and f[0].isdigit():
            counts[f[2].split(':')[-1].replace('sys_enter_', '')] = int(f[0])
        elif len(f) > 3 and f[2] == 'task-clock':
            counts['task-clock'] = float(f[0]) * 1000  # ms to µs
    return counts
client, daemon = load(sys.argv[1]), load(sys.argv[2])
reads = client['sendto']
print(f"reads counted: {reads}")
print(f"{'per read':18s} {'client':>7s} {'daemon':>7s} {'total':>7s}")
for name in client:
    label = {'sys_enter': 'system calls', 'sched_waking': 'wake-ups', 'task-clock': 'CPU µs'}.get(name, name)
    c, d = client[name] / reads, daemon.get(name, 0) / reads
    print(f"{label:18s} {c:7.2f} {d:7.2f} {c + d:7.2f}")
EOF
