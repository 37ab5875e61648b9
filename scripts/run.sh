#!/usr/bin/env bash
# The main job: builds what is missing, starts the development backend and the local service
# on this machine, and opens the client against them. Without a display the client runs under
# Xvfb and a screenshot of its window is left in build/screenshots/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ZUMVARI_ROOT"

ensure_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}"
build=build/release
say "Building"
configure "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
build "$build" Zumvari pairgen devbackend devservice
bin=$build/bin
logdir=build/run-logs
mkdir -p "$logdir"

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "Starting the development backend"
"$bin/devbackend" --port 0 ${ZUMVARI_BACKEND_ARGS:-} >"$logdir/devbackend.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    grep -q -o '127\.0\.0\.1:[0-9]\+' "$logdir/devbackend.log" 2>/dev/null && break
    sleep 0.1
done
address=$(grep -m1 -o '127\.0\.0\.1:[0-9]\+' "$logdir/devbackend.log") || {
    cat "$logdir/devbackend.log"; echo "the development backend did not start" >&2; exit 1; }
scheme=http
case " ${ZUMVARI_BACKEND_ARGS:-} " in *" --tls-cert "*) scheme=https ;; esac
export DIVE_DIZUVIVIVID_API_URL="$scheme://$address"

say "Starting the local acceleration service (stand-in: no real tunnel)"
"$bin/devservice" ${ZUMVARI_SERVICE_ARGS:-} >"$logdir/devservice.log" 2>&1 &
pids+=($!)
sleep 0.5

echo "Backend:  $DIVE_DIZUVIVIVID_API_URL   (log: $logdir/devbackend.log)"
echo "Service:  log: $logdir/devservice.log"
sed -n '2,$p' "$logdir/devbackend.log" | grep -v -E '^(GET|POST|DELETE|PUT|PATCH) ' || true

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    say "Opening Zumvari (close it from the tray: 退出并停止加速)"
    "$bin/Zumvari"
else
    shots=build/screenshots
    mkdir -p "$shots"
    say "No display: running Zumvari under Xvfb"
    # A walk through the main road, as a member would click it, with a screenshot at each stop.
    xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
        bin=$1 shots=$2
        "$bin/Zumvari" & client=$!
        for _ in $(seq 100); do
            xwininfo -root -tree 2>/dev/null | grep -q "游戏加速器" && break
            sleep 0.1
        done
        sleep 1
        shot() { import -window root -crop 1120x720+0+0 "$shots/$1.png"; }
        click() { xdotool mousemove "$1" "$2" click 1; sleep 0.3; }
        shot 1-start
        click 200 218; xdotool type --delay 20 "member@zumvari.test"
        click 200 267; xdotool type --delay 20 "member123"
        click 200 316; sleep 2; shot 2-signed-in
        click 200 569; sleep 3; shot 3-accelerating
        click 200 671; sleep 2; shot 4-stopped
        kill "$client"; wait "$client" 2>/dev/null || true
    ' _ "$bin" "$shots"
    echo "Screenshots of the road (start, signed in, accelerating, stopped): $ZUMVARI_ROOT/$shots/"
fi
