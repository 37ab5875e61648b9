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
    if [ -n "${system_ca:-}" ]; then
        as_root rm -f "$system_ca"
        as_root update-ca-certificates --fresh >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

backend_args=()
if [ -n "${ZUMVARI_UPDATE_DEMO:-}" ]; then
    # The client downloads updates over https only and trusts the system's authorities, so the
    # demo's throwaway authority goes into the system store for the length of the run.
    say "Update demo: release 0.4.1 over https"
    certs=build/run-certs
    tools/devbackend/make-dev-cert.sh "$certs"
    ensure_packages ca-certificates
    system_ca=/usr/local/share/ca-certificates/zumvari-dev-ca.crt
    as_root cp "$certs/ca.pem" "$system_ca"
    as_root update-ca-certificates >/dev/null 2>&1
    installer=$logdir/Zumvari-Update-Setup.exe
    printf '#!/bin/sh\necho "installer started at $(date)" >> "%s"\n' "$ZUMVARI_ROOT/$logdir/installer.log" >"$installer"
    chmod +x "$installer"
    backend_args=(--tls-cert "$certs/server.pem" --tls-key "$certs/server-key.pem" --release-version 0.4.1
                  --release-notes "修复了若干问题，提升了香港节点的稳定性。" --installer "$installer")
fi

say "Starting the development backend"
"$bin/devbackend" --port 0 "${backend_args[@]}" >"$logdir/devbackend.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
    grep -q -o '127\.0\.0\.1:[0-9]\+' "$logdir/devbackend.log" 2>/dev/null && break
    sleep 0.1
done
address=$(grep -m1 -o '127\.0\.0\.1:[0-9]\+' "$logdir/devbackend.log") || {
    cat "$logdir/devbackend.log"; echo "the development backend did not start" >&2; exit 1; }
scheme=http
[ ${#backend_args[@]} -eq 0 ] || scheme=https
export DIVE_DIZUVIVIVID_API_URL="$scheme://$address"

say "Starting the local acceleration service (stand-in: no real tunnel)"
"$bin/devservice" >"$logdir/devservice.log" 2>&1 &
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
        if [ -n "${ZUMVARI_UPDATE_DEMO:-}" ]; then
            sleep 1; shot 1-update-offered
            xdotool key Return; sleep 3; shot 2-install-question
            xdotool key Return; sleep 2
            kill "$client" 2>/dev/null && echo "the client did not hand over to the installer" >&2
            exit 0
        fi
        click 200 218; xdotool type --delay 20 "member@zumvari.test"
        click 200 267; xdotool type --delay 20 "member123"
        click 200 316; sleep 2; shot 2-signed-in
        click 200 569; sleep 3; shot 3-accelerating
        click 200 671; sleep 2; shot 4-stopped
        kill "$client"; wait "$client" 2>/dev/null || true
    ' _ "$bin" "$shots"
    echo "Screenshots of the road: $ZUMVARI_ROOT/$shots/"
    [ -z "${ZUMVARI_UPDATE_DEMO:-}" ] || cat "$logdir/installer.log" 2>/dev/null ||
        echo "the installer did not start" >&2
fi
