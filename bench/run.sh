#!/usr/bin/env bash
# Measures a built server under load and prints one JSON summary on standard output
# (progress goes to standard error). Builds nothing: it uses BUILD/zarnel and BUILD/zarnel-bench.
#
#   bench/run.sh [--build DIR] [--window SECONDS] RUN...
#
# RUN is one of:
#   view N       N viewers of a finished game (200 sections, two streams of 70,000 bytes each)
#   live N       N viewers of a game filmed live while they watch (two streams)
#   shutdown N   N viewers streaming, then SIGTERM: time to exit, exit status, last line
#   film         one filmer uploading 16 MB sections in 16 KiB blocks, against a plain copy
#   setups       small two-stream section set-ups a second
#   all          film setups view 1000 view 5000
# Each run gets a fresh server in a fresh temporary directory, so runs given together are
# measured side by side under the same machine load. Settings: ViewMaxConnections=0,
# BandwidthBuffer=7000, BandwidthNormal=7000.
#
# The script runs itself in a private network namespace (it needs root, or an unprivileged
# user namespace), so the server's fixed ports never meet another server on this machine.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
if [[ -z "${ZARNEL_BENCH_NETNS:-}" ]]; then
  ZARNEL_BENCH_NETNS=1 exec unshare -n -- "$0" "$@"
fi
ip link set lo up

build="$root/build"
window=30
runs=()
while (($#)); do
  case "$1" in
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    --window) window="$2"; shift 2 ;;
    view | live | shutdown) runs+=("$1:${2:?$1 needs a viewer count}"); shift 2 ;;
    film | setups) runs+=("$1:0"); shift ;;
    all) runs+=(film:0 setups:0 view:1000 view:5000); shift ;;
    -h | --help) sed -n '2,20p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
((${#runs[@]})) || runs=(film:0 setups:0 view:1000 view:5000)

zarnel="$build/zarnel"
bench="$build/zarnel-bench"
for bin in "$zarnel" "$bench"; do
  [[ -x "$bin" ]] || { echo "run.sh: $bin is missing; build it first" >&2; exit 1; }
done

work="$(mktemp -d /tmp/zarnel-bench.XXXXXX)"
server=""
cleanup() {
  [[ -n "$server" ]] && kill -9 "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
password=benchpass

log() { echo "[$(date -u +%H:%M:%S)] $*" >&2; }

# Starts the server in directory $1 (made if missing); sets $server to its pid.
start_server() {
  local dir="$1"
  mkdir -p "$dir"
  cat >"$dir/zarnel.ini" <<EOF
[settings]
ViewMaxConnections=0
FilmMaxConnections=50
BandwidthBuffer=7000
BandwidthNormal=7000
filmpass=$password
EOF
  (cd "$dir" && exec "$zarnel" >stdout 2>stderr) &
  server=$!
  for _ in $(seq 200); do
    grep -q "Waiting for Connections..." "$dir/stdout" 2>/dev/null && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.05
  done
  echo "run.sh: the server did not start: $(cat "$dir/stderr")" >&2
  exit 1
}

# Stops the server if it still runs (SIGKILL after 30 s); $exit_json says how it ended.
stop_server() {
  local dir="$1" status=0 start end state
  start=$(date +%s%N)
  kill -TERM "$server" 2>/dev/null || true
  for _ in $(seq 600); do
    state="$(awk '{print $3}' "/proc/$server/stat" 2>/dev/null || echo X)"
    [[ "$state" == Z || "$state" == X ]] && break
    sleep 0.05
  done
  [[ "$state" == Z || "$state" == X ]] || kill -9 "$server" 2>/dev/null || true
  wait "$server" || status=$?
  end=$(date +%s%N)
  server=""
  local clean=false crashed=false
  grep -q "Zarnel Server Shutdown complete." "$dir/stdout" && clean=true
  grep -qi "segv" "$dir/stdout" && crashed=true
  exit_json="$(printf '{"exit_status":%d,"ms_after_stop":%d,"shutdown_line":%s,"crash_line":%s}' \
    "$status" "$(((end - start) / 1000000))" "$clean" "$crashed")"
}

# The finished game every viewer run copies.
store_template() {
  [[ -d "$work/template/Streams/BENCH" ]] && return 0
  log "storing the finished game (200 sections, 2 streams x 70,000 bytes)"
  start_server "$work/template"
  "$bench" store --password "$password" --game BENCH --sections 200 --streams 2 \
    --bytes 70000 >/dev/null
  stop_server "$work/template"
}

results=()
n=0
for run in "${runs[@]}"; do
  mode="${run%%:*}"
  viewers="${run#*:}"
  n=$((n + 1))
  dir="$work/run$n"
  case "$mode" in
    view | shutdown) store_template; mkdir -p "$dir"; cp -a "$work/template/Streams" "$dir/" ;;
  esac
  log "run $n: $mode ${viewers/#0/}"
  start_server "$dir"
  # Bound every run: ramp, warm-up, window and slack.
  limit=$((window + viewers / 100 + 180))
  args=(--password "$password" --pid "$server")
  case "$mode" in
    view) args=(view "${args[@]}" --game BENCH --viewers "$viewers" --window "$window") ;;
    live) args=(view "${args[@]}" --game LIVE --viewers "$viewers" --window "$window" --live 2800) ;;
    shutdown) args=(view "${args[@]}" --game BENCH --viewers "$viewers" --window 10 --sigterm) ;;
    film) args=(film "${args[@]}" --dir "$dir") ;;
    setups) args=(setups "${args[@]}") ;;
  esac
  out="$(timeout -s KILL "$limit" "$bench" "${args[@]}")" || out='{"error":"zarnel-bench failed"}'
  stop_server "$dir"
  results+=("{\"run\":\"$mode\",\"viewers\":$viewers,\"result\":$out,\"server_exit\":$exit_json}")
  rm -rf "$dir"
done

commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
git -C "$root" diff --quiet HEAD 2>/dev/null || commit="$commit+changes"
joined="$(IFS=,; echo "${results[*]}")"
printf '{"commit":"%s","date":"%s","cores":%d,"loadavg":"%s","build":"%s","runs":[%s]}\n' \
  "$commit" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)" \
  "$build" "$joined"
