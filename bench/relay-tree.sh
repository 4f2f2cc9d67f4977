#!/usr/bin/env bash
# A relay tree of 13 real servers: 1 root, 3 relays, 9 leaves, each server in a network
# namespace of its own on one bridge (10.88.0.0/24, inside those namespaces only). Each leaf
# lists its relay, then the next relay, then the root. A live two-stream game is filmed on the
# root while viewers watch it on every leaf and on the root; half-way the first relay is killed
# with SIGKILL. Prints a summary on standard output (progress goes to standard error):
#   - lag of each leaf behind the root: for every new piece of the game on the root, the time
#     until the leaf holds it (median, p99 and worst, leaves of the living relays);
#   - for the killed relay's leaves: time from the kill until they hold a relay connection to
#     another upstream (switch), and until they hold all the root held at that moment (caught
#     up);
#   - whether every leaf's files and every leaf viewer's bytes equal the root's.
#
#   bench/relay-tree.sh [--build DIR] [--sections N] [--pace SECONDS] [--viewers N]
#
# Defaults: 10 sections of 4 s (200,000 + 40,000 bytes each), 3 viewers per leaf; every
# server's viewer budgets are raised to 100,000 bytes a cycle, above the game's rate. Needs root
# and iproute2; builds nothing (uses DIR/zarnel, DIR/zarnel-film and DIR/zarnel-view). Every
# server, viewer and namespace is gone when the script ends, however it ends.
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
if [[ -z "${ZARNEL_TREE_NETNS:-}" ]]; then
  # The bridge lives in a namespace of the script's own.
  ZARNEL_TREE_NETNS=1 exec unshare -n -- "$0" "$@"
fi

build="$src/build"
sections=10
pace=4
viewers=3
while (($#)); do
  case "$1" in
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    --sections) sections="$2"; shift 2 ;;
    --pace) pace="$2"; shift 2 ;;
    --viewers) viewers="$2"; shift 2 ;;
    -h | --help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "relay-tree.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

work="$(mktemp -d /tmp/zarnel-tree.XXXXXX)"
declare -A pid=()
others=()  # viewers and the sampler
cleanup() {
  for p in "${others[@]}" "${pid[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
begun=$SECONDS
say() { echo "relay-tree: $((SECONDS - begun)) s: $*" >&2; }

ip link set lo up
ip link add zbr type bridge
ip link set zbr up

# start NAME INDEX SETTINGS: the server in its own namespace as 10.88.0.INDEX.
start() {
  local name="$1" index="$2" dir="$work/$1"
  mkdir -p "$dir"
  printf '[settings]\n%s' "$3" >"$dir/zarnel.ini"
  mkfifo "$dir/go"
  (cd "$dir" && exec unshare -n sh -c "read x < go && ip link set lo up && \
    ip addr add 10.88.0.$index/24 dev eth0 && ip link set eth0 up && exec '$build/zarnel'" \
    >"$dir/out" 2>&1) &
  pid[$name]=$!
  local own
  own="$(readlink /proc/self/ns/net)"
  until [[ "$(readlink "/proc/${pid[$name]}/ns/net")" != "$own" ]]; do sleep 0.01; done
  ip link add "zv$index" type veth peer name eth0 netns "${pid[$name]}"
  ip link set "zv$index" master zbr up
  echo go >"$dir/go"
  for _ in $(seq 200); do
    grep -qx 'Waiting for Connections...' "$dir/out" && return 0
    sleep 0.05
  done
  say "$name did not start: $(cat "$dir/out")"
  exit 1
}

# Viewers' budgets above the game's 60,000 bytes a second, so that they keep up with it.
budget=$'BandwidthBuffer=100000\nBandwidthNormal=100000\n'
allow=$'AllowRelays=1\nRelayAllowFrom=10.88.0.0/24\n'
start root 1 "$budget$allow"
for r in 0 1 2; do
  start "relay$r" $((2 + r)) "$budget$allow"$'RelayEnabled=1\nRelayServer=10.88.0.1\n'
done
for l in $(seq 0 8); do
  first=$((l / 3))
  second=$(((first + 1) % 3))
  start "leaf$l" $((5 + l)) "$budget"$'RelayEnabled=1\n'"RelayServer=10.88.0.$((2 + first)), \
10.88.0.$((2 + second)), 10.88.0.1"$'\n'
done
say "13 servers up"

# The game: two streams per section, a demo stream with its 1032-byte header and an audio one.
game="$work/source"
mkdir -p "$game"
{
  printf '[types]\n0=0\n1=1\n[block]\n'
  for s in $(seq 0 $((sections - 1))); do printf '0_%d=1032\n' "$s"; done
} >"$game/info.ini"
for s in $(seq 0 $((sections - 1))); do
  head -c 200000 /dev/urandom >"$game/stream_0_$s"
  head -c 40000 /dev/urandom >"$game/stream_1_$s"
done

names=(root)
for l in $(seq 0 8); do names+=("leaf$l"); done
# Every 20 ms, the bytes each server holds of the game; stops when the file "stop" appears.
python3 - "$work" "${names[@]}" >"$work/samples" <<'EOF' &
import os, sys, time
work, names = sys.argv[1], sys.argv[2:]
dirs = [os.path.join(work, n, "Streams", "LIVE") for n in names]
def held(d):
    try:
        return sum(e.stat().st_size for e in os.scandir(d) if e.name.startswith("stream_"))
    except OSError:
        return 0
while not os.path.exists(os.path.join(work, "stop")):
    print(time.monotonic(), *[held(d) for d in dirs], flush=True)
    time.sleep(0.02)
EOF
others+=($!)

inside() { local who="$1"; shift; nsenter -t "${pid[$who]}" -n "$@"; }
film_start="$(python3 -c 'import time; print(time.monotonic())')"
inside root "$build/zarnel-film" --pace "$pace" "$game" LIVE 2>"$work/film.err" &
filmer=$!
others+=($filmer)
# Viewers once the game has reached each server.
watch() {
  local who="$1" n="$2" dir="$work/$1"
  for _ in $(seq 400); do [[ -f "$dir/Streams/LIVE/info.ini" ]] && break; sleep 0.05; done
  for v in $(seq 1 "$n"); do
    inside "$who" timeout 300 "$build/zarnel-view" watch LIVE --out "$work/view-$who-$v" \
      2>/dev/null &
    others+=($!)
  done
}
watch root 1
for l in $(seq 0 8); do watch "leaf$l" "$viewers"; done
say "viewers watching"

half="$(python3 -c "print($film_start + $sections * $pace / 2)")"
while python3 -c "import sys, time; sys.exit(time.monotonic() >= $half)"; do sleep 0.1; done
kill -9 "${pid[relay0]}"
killed="$(python3 -c 'import time; print(time.monotonic())')"
killed_at=$EPOCHREALTIME
say "relay0 killed"
# Switch: until each orphaned leaf holds a relay connection to another upstream.
declare -A switched=()
for _ in $(seq 1500); do
  for l in 0 1 2; do
    [[ -n "${switched[$l]:-}" ]] && continue
    peers="$(inside "leaf$l" ss -Htn state established '( dport = :28300 )')"
    if [[ -n "$peers" && "$peers" != *10.88.0.2:28300* ]]; then
      switched[$l]="$(python3 -c "print(round($EPOCHREALTIME - $killed_at, 3))")"
    fi
  done
  ((${#switched[@]} == 3)) && break
  sleep 0.01
done
say "orphaned leaves switched after ${switched[0]:-?} s, ${switched[1]:-?} s, ${switched[2]:-?} s"
wait "$filmer" || { say "the filmer failed: $(cat "$work/film.err")"; exit 1; }

# Until every leaf holds the complete game, or a minute.
for _ in $(seq 600); do
  done_all=1
  for l in $(seq 0 8); do
    awk '/^\[/ { s = $0 } s == "[complete]" && $0 == "all=1" { f = 1 } END { exit !f }' \
      "$work/leaf$l/Streams/LIVE/info.ini" 2>/dev/null || done_all=0
  done
  ((done_all)) && break
  sleep 0.1
done
say "leaves complete"
touch "$work/stop"
for p in "${others[@]}"; do [[ $p == "$filmer" ]] || wait "$p" 2>/dev/null || true; done

files_equal=0
viewers_equal=0
viewers_total=0
for l in $(seq 0 8); do
  diff -rq -x info.ini "$work/root/Streams/LIVE" "$work/leaf$l/Streams/LIVE" >/dev/null &&
    files_equal=$((files_equal + 1))
  for v in $(seq 1 "$viewers"); do
    viewers_total=$((viewers_total + 1))
    diff -rq -x watch.ini "$work/view-root-1" "$work/view-leaf$l-$v" >/dev/null &&
      viewers_equal=$((viewers_equal + 1))
  done
done
root_view_bytes="$(cat "$work"/view-root-1/stream_* | wc -c)"
leaf_view_bytes="$(cat "$work"/view-leaf0-1/stream_* | wc -c)"

python3 - "$work/samples" "$killed" "${switched[0]:-nan}" "${switched[1]:-nan}" \
  "${switched[2]:-nan}" <<EOF
import statistics, sys
rows = [list(map(float, line.split())) for line in open(sys.argv[1]) if line.strip()]
killed = float(sys.argv[2])
t = [r[0] for r in rows]
def first(col, v):
    for r in rows:
        if r[col] >= v:
            return r[0]
    return None
# Every size the root reached, with when it reached it.
milestones, last = [], 0
for r in rows:
    if r[1] > last:
        milestones.append((r[0], r[1]))
        last = r[1]
def lags(col, after=None):
    out = []
    for at, v in milestones:
        if after is not None and at < after:
            continue
        got = first(col, v)
        if got is not None:
            out.append((at, got - at))
    return out
def p99(xs):
    xs = sorted(xs)
    return xs[min(len(xs) - 1, int(0.99 * len(xs)))]
print("tree: 1 root, 3 relays, 9 leaves; game $sections x $pace s, "
      "$(( sections * 240000 )) bytes; $viewers viewers per leaf")
living = []
for leaf in range(9):
    col = 2 + leaf
    l = [x for _, x in lags(col)]
    orphan = leaf < 3
    line = "leaf%d%s: median %.3f s, p99 %.3f s, worst %.3f s" % (
        leaf, " (orphaned)" if orphan else "", statistics.median(l), p99(l), max(l))
    if orphan:
        # Caught up: the leaf holds all the root held when the leaf switched.
        switch = float(sys.argv[3 + leaf])
        target = [r for r in rows if r[0] <= killed + switch][-1][1]
        back = next((r[0] for r in rows if r[0] >= killed + switch and r[col] >= target), None)
        line += "; switch %.3f s, caught up %.3f s after the kill" % (
            switch, (back - killed) if back else float("nan"))
    else:
        living += l
    print(line)
print("leaves of living relays: median %.3f s, p99 %.3f s, worst %.3f s (%d pieces)" % (
    statistics.median(living), p99(living), max(living), len(living)))
EOF
echo "leaf stores equal to the root's: $files_equal of 9"
echo "leaf viewers equal to the root's viewer: $viewers_equal of $viewers_total"
echo "bytes received: root viewer $root_view_bytes, leaf0 viewer (orphaned) $leaf_view_bytes"
