#!/usr/bin/env bash
# Measures a built server under load and prints one JSON summary on standard output
# (progress goes to standard error). Builds nothing: it uses BUILD/zarnel and BUILD/zarnel-bench.
#
#   bench/run.sh [--build DIR] [--compare DIR] [--window SECONDS] [--hold SECONDS]
#                [--slow-rate BYTES] [--set KEY=VALUE]... RUN...
#
# RUN is one of:
#   view N       N viewers of a finished game (200 sections, two streams of 70,000 bytes each)
#   live N       N viewers of a game filmed live while they watch (two streams)
#   shutdown N   N viewers streaming, then SIGTERM: time to exit, exit status, last line
#   stuck N      N viewers that never read, of a finished game of one long section (two
#                streams of 16,000,000 bytes): the kernel memory of the server's sockets
#                every 5 s for --hold seconds (default 90), and their closes
#   slow N       as stuck, but each reads --slow-rate bytes a second (default 1)
#   film         one filmer uploading 16 MB sections in 16 KiB blocks, against a plain copy
#   setups       small two-stream section set-ups a second, by a filmer with TCP_NODELAY and
#                by one that keeps Nagle's algorithm
#   floor N      the machine's floor, no server: a sender that only sends 7,000 bytes once a
#                second to each of N loopback connections, read by a receiver process
#   ratio N      floor N, then view N with the same window, one after the other: the CPU of
#                each, the server's over the floor's, its period p99 and whether every viewer
#                got its full budget every cycle
#   all          film setups view 1000 view 5000
# Each run gets a fresh server in a fresh temporary directory, so runs given together are
# measured side by side under the same machine load. Settings: ViewMaxConnections=0,
# BandwidthBuffer=7000, BandwidthNormal=7000; stuck and slow keep the default budgets. --set
# adds a line to every server's [settings]. With --compare, every run is made first with the
# server of that build folder (an earlier commit, say), then with the one of --build.
# stuck and slow stop early when the system's TCP memory reaches its pressure mark.
#
# The script runs itself in a private network namespace (it needs root, or an unprivileged
# user namespace), so the server's fixed ports never meet another server on this machine.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
if [[ -z "${ZARNEL_BENCH_NETNS:-}" ]]; then
  # The system's TCP memory limits, which a network namespace does not show.
  ZARNEL_BENCH_TCP_MEM="$(cat /proc/sys/net/ipv4/tcp_mem 2>/dev/null || true)"
  export ZARNEL_BENCH_TCP_MEM
  ZARNEL_BENCH_NETNS=1 exec unshare -n -- "$0" "$@"
fi
ip link set lo up

build="$root/build"
compare=""
window=30
hold=90
slow_rate=1
extra=""
runs=()
while (($#)); do
  case "$1" in
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    --compare) compare="$(cd "$2" && pwd)"; shift 2 ;;
    --window) window="$2"; shift 2 ;;
    --hold) hold="$2"; shift 2 ;;
    --slow-rate) slow_rate="$2"; shift 2 ;;
    --set) extra+="$2"$'\n'; shift 2 ;;
    view | live | shutdown | stuck | slow | floor | ratio) runs+=("$1:${2:?$1 needs a viewer count}"); shift 2 ;;
    film | setups) runs+=("$1:0"); shift ;;
    all) runs+=(film:0 setups:0 view:1000 view:5000); shift ;;
    -h | --help) sed -n '2,33p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
((${#runs[@]})) || runs=(film:0 setups:0 view:1000 view:5000)

zarnel="$build/zarnel"
bench="$build/zarnel-bench"
servers=("$zarnel")
[[ -n "$compare" ]] && servers=("$compare/zarnel" "$zarnel")
for bin in "${servers[@]}" "$bench"; do
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

# Starts the server binary $2 (default: of --build) in directory $1 (made if missing), with
# the default budgets when $3 is "defaults"; sets $server to its pid.
start_server() {
  local dir="$1" bin="${2:-$zarnel}" budgets=$'BandwidthBuffer=7000\nBandwidthNormal=7000'
  [[ "${3:-}" == defaults ]] && budgets=""
  mkdir -p "$dir"
  cat >"$dir/zarnel.ini" <<EOF
[settings]
ViewMaxConnections=0
FilmMaxConnections=50
$budgets
filmpass=$password
$extra
EOF
  (cd "$dir" && exec "$bin" >stdout 2>stderr) &
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
  local deadline=$((SECONDS + 30))
  while ((SECONDS < deadline)); do
    # Builtins only: a loaded machine must not stretch the 30 s.
    state=X
    { read -r _ _ state _ <"/proc/$server/stat"; } 2>/dev/null || state=X
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

# The finished games every viewer run copies.
store_template() {
  [[ -d "$work/template/Streams/BENCH" ]] && return 0
  log "storing the finished games (200 sections, 2 streams x 70,000 bytes; 1 x 2 x 16 MB)"
  start_server "$work/template"
  "$bench" store --password "$password" --game BENCH --sections 200 --streams 2 \
    --bytes 70000 >/dev/null
  "$bench" store --password "$password" --game LONG --sections 1 --streams 2 \
    --bytes 16000000 --block 65536 >/dev/null
  stop_server "$work/template"
}

# The number after "KEY": in the JSON text $1 (the first one; 0 if missing).
json_number() {
  local found
  found="$(grep -o "\"$2\":[-0-9.e+]*" <<<"$1" | head -n 1)"
  echo "${found#*:}" | grep . || echo 0
}

# The summary of a ratio run from the floor's output $1 and the viewers' output $2 ($3 viewers).
ratio_json() {
  local floor_cpu server_cpu p99 full served
  floor_cpu="$(json_number "$1" sender_cpu_pct_one_core)"
  server_cpu="$(json_number "$2" cpu_pct_one_core)"
  p99="$(json_number "$(grep -o '"period_ms":{[^}]*}' <<<"$2")" p99)"
  full="$(json_number "$2" viewers_full_budget_every_cycle)"
  served="$(json_number "$2" viewers_served)"
  log "ratio $3: floor $floor_cpu %, server $server_cpu % of one core, period p99 $p99 ms"
  awk -v f="$floor_cpu" -v s="$server_cpu" -v p="$p99" -v n="$3" -v full="$full" -v served="$served" \
    'BEGIN { printf "{\"floor_cpu_pct\":%.2f,\"server_cpu_pct\":%.2f,\"server_over_floor\":%.3f,", f, s, (f > 0 ? s / f : 0);
             printf "\"period_p99_ms\":%s,\"every_viewer_full_budget\":%s}", p, (full == n && served == n ? "true" : "false") }'
}

results=()
n=0
for run in "${runs[@]}"; do
 for bin in "${servers[@]}"; do
  mode="${run%%:*}"
  viewers="${run#*:}"
  n=$((n + 1))
  dir="$work/run$n"
  case "$mode" in
    view | shutdown | stuck | slow | ratio)
      store_template; mkdir -p "$dir"; cp -a "$work/template/Streams" "$dir/" ;;
  esac
  log "run $n: $mode ${viewers/#0/} ($bin)"
  floor=""
  if [[ "$mode" == floor || "$mode" == ratio ]]; then
    floor="$(timeout -s KILL $((window + viewers / 100 + 120)) "$bench" floor \
      --connections "$viewers" --window "$window")" || floor='{"error":"zarnel-bench failed"}'
    if [[ "$mode" == floor ]]; then
      results+=("{\"run\":\"floor\",\"viewers\":$viewers,\"result\":$floor}")
      continue
    fi
  fi
  budgets=""
  case "$mode" in stuck | slow) budgets=defaults ;; esac
  start_server "$dir" "$bin" "$budgets"
  # Bound every run: ramp, warm-up, window and slack.
  limit=$((window + hold + viewers / 100 + 180))
  args=(--password "$password" --pid "$server")
  case "$mode" in
    view | ratio) args=(view "${args[@]}" --game BENCH --viewers "$viewers" --window "$window") ;;
    live) args=(view "${args[@]}" --game LIVE --viewers "$viewers" --window "$window" --live 2800) ;;
    shutdown) args=(view "${args[@]}" --game BENCH --viewers "$viewers" --window 10 --sigterm) ;;
    stuck) args=(lag --game LONG --viewers "$viewers" --hold "$hold") ;;
    slow) args=(lag --game LONG --viewers "$viewers" --hold "$hold" --read "$slow_rate") ;;
    film) args=(film "${args[@]}" --dir "$dir") ;;
    setups) args=(setups "${args[@]}") ;;
  esac
  out="$(timeout -s KILL "$limit" "$bench" "${args[@]}")" || out='{"error":"zarnel-bench failed"}'
  stop_server "$dir"
  extra_json=""
  [[ "$mode" == ratio ]] && extra_json=",\"floor\":$floor,\"ratio\":$(ratio_json "$floor" "$out" "$viewers")"
  results+=("{\"run\":\"$mode\",\"viewers\":$viewers,\"server\":\"$bin\",\"result\":$out$extra_json,\"server_exit\":$exit_json}")
  rm -rf "$dir"
 done
done

commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
git -C "$root" diff --quiet HEAD 2>/dev/null || commit="$commit+changes"
joined="$(IFS=,; echo "${results[*]}")"
printf '{"commit":"%s","date":"%s","cores":%d,"loadavg":"%s","build":"%s","runs":[%s]}\n' \
  "$commit" "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)" \
  "$build" "$joined"
