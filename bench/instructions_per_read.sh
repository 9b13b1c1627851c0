#!/bin/bash
# Instructions per read of one channel value over cdsd, client and daemon
# apart, counted by callgrind; with a private Redis on a Unix socket, the same
# of hiredis GET and redis-server. Counts are the same on any x86-64 machine
# and under any load: they show what latency figures on a noisy machine hide.
#
# usage: bench/instructions_per_read.sh [BUILD_DIR]   (needs valgrind)
# The client counts from the library's call to its return (the peer's from
# hiredis' command to its reply); the daemon counts its event loops and its
# connections' own readers, divided by the reads it served.
#
# Then the same of a value write until its callback, in one process
# (BM_WriteToCallbackLatency/daemon:1): the writer's call, the subscriber's
# reading and callback on its event thread, and cdsd's loop, per write; beside
# it redis-server's loop per PUBLISH to one subscriber (the peer's publisher
# and subscriber are not counted: its subscriber is another process, which
# callgrind cannot start from /proc/self/exe).
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

# cdsd under callgrind, started by the benchmark through CDS_TEST_CDSD; it
# counts into $out/$CDS_CG_NAME.cg.
cat > "$out/cdsd" <<EOF
#!/bin/sh
exec valgrind --tool=callgrind --callgrind-out-file=$out/\$CDS_CG_NAME.cg "${CDS_TEST_CDSD:-$build/store/daemon/cdsd}" "\$@" 2>/dev/null
EOF
chmod +x "$out/cdsd"
# One benchmark (NAME, filter, more arguments) and its cdsd under callgrind:
# NAME-client.cg and NAME-daemon.cg.
ours() {
  local name=$1 filter=$2
  shift 2
  CDS_CG_NAME=$name-daemon CDS_TEST_CDSD=$out/cdsd valgrind --tool=callgrind \
    --callgrind-out-file="$out/$name-client.cg" "$build/bench/cds_bench" --benchmark_filter="$filter" "$@" >/dev/null 2>&1
  for _ in $(seq 50); do [ -s "$out/$name-daemon.cg" ] && break; sleep 0.2; done
}
ours read '^BM_DaemonGetChannelCValue' --benchmark_min_time=1
ours write '^BM_WriteToCallbackLatency/daemon:1'

# redis-server under callgrind, counting into $out/NAME.cg, on $out/NAME.sock.
start_redis() {
  valgrind --tool=callgrind --callgrind-out-file="$out/$1.cg" redis-server --port 0 \
    --unixsocket "$out/$1.sock" --unixsocketperm 700 --save '' --appendonly no --dir "$out" >/dev/null 2>&1 &
  redis_pid=$!
  for _ in $(seq 100); do [ -S "$out/$1.sock" ] && break; sleep 0.1; done
}
stop_redis() {
  kill -INT "$redis_pid"
  wait "$redis_pid" 2>/dev/null || true
  redis_pid=
}
peer=$build/bench/cds_peer_bench
if [ -x "$peer" ] && command -v redis-server >/dev/null; then
  start_redis redis
  CDS_PEER_SOCKET=$out/redis.sock valgrind --tool=callgrind --callgrind-out-file="$out/hiredis.cg" \
    "$peer" --benchmark_filter='^BM_PeerGet' --benchmark_min_time=1 >/dev/null 2>&1
  stop_redis
  if command -v redis-cli >/dev/null; then
    start_redis publish
    CDS_PEER_SOCKET=$out/publish.sock "$peer" --benchmark_filter='^BM_PeerPublish' >/dev/null 2>&1 || true
    redis-cli -s "$out/publish.sock" info commandstats | sed -n 's/^cmdstat_publish:calls=\([0-9]*\).*/\1/p' \
      > "$out/publishes" || true
    stop_redis
  fi
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
def served(name):
    """cdsd's work: its event loops and its connections' own readers (either may be idle)."""
    parts = [inclusive(name, r'scheduler::run\('), inclusive(name, r'Connection::read_on_own_thread\(')]
    parts = [p[0] for p in parts if p]
    return (sum(parts), 0) if parts else None
rows = []
client = inclusive('read-client', r'InBandAccessor::getChannelCValue\(')
daemon = served('read-daemon')
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

writer = inclusive('write-client', r'InBandAccessor::setChannelCValue\(')
subscriber = inclusive('write-client', r'Connection::read_in_loop\(')
daemon = served('write-daemon')
print()
print(f"{'per value write until its callback':38s} {'writer':>8s} {'subscr.':>8s} {'server':>8s}")
if writer and subscriber and daemon:
    writes = writer[1]
    print(f"{'write: this project over cdsd':38s} {writer[0] / writes:8.0f} {subscriber[0] / writes:8.0f} "
          f"{daemon[0] / writes:8.0f}")
publish = inclusive('publish', r'\baeMain\b')
try:
    publishes = int(open(os.path.join(d, 'publishes')).read())
except (OSError, ValueError):
    publishes = 0
if publish and publishes:
    print(f"{'write: redis-server per PUBLISH':38s} {'':8s} {'':8s} {publish[0] / publishes:8.0f}")
EOF
