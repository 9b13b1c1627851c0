#!/bin/bash
# Instructions per read of one channel value over cdsd, client and daemon
# apart, counted by callgrind; with a private Redis on a Unix socket, the same
# of hiredis GET and redis-server. Counts are the same on any x86-64 machine
# and under any load: they show what latency figures on a noisy machine hide.
#
# usage: bench/instructions_per_read.sh [BUILD_DIR]   (needs valgrind)
# The client counts from the library's call to its return (the peer's from
# hiredis' command to its reply); the daemon counts its whole event loop,
# divided by the reads it served.
set -eu
build=$(cd "${1:-build}" && pwd)
command -v valgrind >/dev/null || { echo "instructions_per_read: valgrind is not installed" >&2; exit 2; }
out=$(mktemp -d /tmp/cds-insn-XXXXXX)
redis_pid=
cleanup() {
  [ -z "$redis_pid" ] || kill "$redis_pid" 2>/dev/null || true
  rm -rf "$out"
}
trap cleanup EXIT

# cdsd under callgrind, started by the benchmark through CDS_TEST_CDSD.
cat > "$out/cdsd" <<EOF
#!/bin/sh
exec valgrind --tool=callgrind --callgrind-out-file=$out/daemon.cg "${CDS_TEST_CDSD:-$build/store/daemon/cdsd}" "\$@" 2>/dev/null
EOF
chmod +x "$out/cdsd"
CDS_TEST_CDSD=$out/cdsd valgrind --tool=callgrind --callgrind-out-file="$out/client.cg" \
  "$build/bench/cds_bench" --benchmark_filter='^BM_DaemonGetChannelCValue' --benchmark_min_time=1 >/dev/null 2>&1
for _ in $(seq 50); do [ -s "$out/daemon.cg" ] && break; sleep 0.2; done

peer=$build/bench/cds_peer_bench
if [ -x "$peer" ] && command -v redis-server >/dev/null; then
  valgrind --tool=callgrind --callgrind-out-file="$out/redis.cg" redis-server --port 0 \
    --unixsocket "$out/redis.sock" --unixsocketperm 700 --save '' --appendonly no --dir "$out" >/dev/null 2>&1 &
  redis_pid=$!
  for _ in $(seq 100); do [ -S "$out/redis.sock" ] && break; sleep 0.1; done
  CDS_PEER_SOCKET=$out/redis.sock valgrind --tool=callgrind --callgrind-out-file="$out/hiredis.cg" \
    "$peer" --benchmark_filter='^BM_PeerGet' --benchmark_min_time=1 >/dev/null 2>&1
  kill -INT "$redis_pid"
  wait "$redis_pid" 2>/dev/null || true
  redis_pid=
fi

for f in "$out"/*.cg; do callgrind_annotate --inclusive=yes --tree=caller "$f" > "${f%.cg}.txt" 2>/dev/null; done
python3 - "$out" <<'EOF'
import os, re, sys
d = sys.argv[1]
def inclusive(name, pattern):
    """Instructions inside the first function matching `pattern`, and its calls."""
    path = os.path.join(d, name + '.txt')
    if not os.path.exists(path):
        return None
    lines = open(path).read().split('\n')
    for i, line in enumerate(lines):
        if re.match(r'^\s*[\d,]+ \([ \d.]+%\)\s+\*', line) and re.search(pattern, line):
            calls, j = 0, i - 1
            while j >= 0 and '<' in lines[j]:
                m = re.search(r'\(([\d,]+)x\)', lines[j])
                calls += int(m.group(1).replace(',', '')) if m else 0
                j -= 1
            return int(re.match(r'^\s*([\d,]+)', line).group(1).replace(',', '')), calls
    return None
rows = []
client = inclusive('client', r'InBandAccessor::getChannelCValue\(')
daemon = inclusive('daemon', r'scheduler::run\(')
if client and daemon:
    reads = client[1]
    rows.append(('this project over cdsd', client[0] / reads, daemon[0] / reads))
peer = inclusive('hiredis', r'\(anonymous namespace\)::command\(')
server = inclusive('redis', r'\baeMain\b')
if peer and server:
    reads = peer[1]
    rows.append(('hiredis GET, redis-server', peer[0] / reads, server[0] / reads))
print(f"{'instructions per read':28s} {'client':>8s} {'server':>8s} {'total':>8s}")
for name, c, s in rows:
    print(f"{name:28s} {c:8.0f} {s:8.0f} {c + s:8.0f}")
if len(rows) == 2:
    print(f"ratio to the peer: {(rows[0][1] + rows[0][2]) / (rows[1][1] + rows[1][2]):.2f}")
EOF
