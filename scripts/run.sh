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
    [ -z "${trust:-}" ] || rm -rf "$trust"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The stand-ins end with this script, even when it is killed outright.
die_with_us=()
setpriv --help 2>/dev/null | grep -q pdeathsig && die_with_us=(setpriv --pdeathsig TERM)

# Prefix that starts the client; the update demo puts it in a trust of its own.
client_prefix=()
backend_args=()
if [ -n "${ZUMVARI_UPDATE_DEMO:-}" ]; then
    say "Update demo: release 0.4.1 over https"
    certs=build/run-certs
    tools/devbackend/make-dev-cert.sh "$certs"
    ensure_packages ca-certificates
    # The client downloads updates over https only and trusts the system's authorities. The
    # machine's store stays untouched: the client runs in a private mount namespace in which the
    # certificate folder is a copy that also holds the throwaway authority. The namespace, and the
    # trust, end with the client, killed or not; only this copy in the build folder may stay.
    trust=$certs/trust
    rm -rf "$trust"
    mkdir -p "$trust"
    cp -a /etc/ssl/certs/. "$trust/"
    cp "$certs/ca.pem" "$trust/zumvari-dev-ca.pem"
    hash=$(openssl x509 -hash -noout -in "$certs/ca.pem")
    n=0
    while [ -e "$trust/$hash.$n" ] || [ -L "$trust/$hash.$n" ]; do n=$((n + 1)); done
    ln -s zumvari-dev-ca.pem "$trust/$hash.$n"
    rm -f "$trust/ca-certificates.crt"
    cat /etc/ssl/certs/ca-certificates.crt "$certs/ca.pem" >"$trust/ca-certificates.crt"
    # As root a mount namespace is enough; anyone else gets one inside a user namespace.
    client_prefix=(unshare --mount)
    [ "$(id -u)" -eq 0 ] || client_prefix=(unshare --user --map-root-user --mount)
    client_prefix+=(sh -c 'mount --bind "$0" /etc/ssl/certs && exec "$@"' "$ZUMVARI_ROOT/$trust")
    "${client_prefix[@]}" true || {
        echo "cannot give the client a private certificate folder (unshare --mount)" >&2; exit 1; }
    installer=$logdir/Zumvari-Update-Setup.exe
    printf '#!/bin/sh\necho "installer started at $(date)" >> "%s"\n' "$ZUMVARI_ROOT/$logdir/installer.log" >"$installer"
    chmod +x "$installer"
    backend_args=(--tls-cert "$certs/server.pem" --tls-key "$certs/server-key.pem" --release-version 0.4.1
                  --release-notes "修复了若干问题，提升了香港节点的稳定性。" --installer "$installer")
fi

say "Starting the development backend"
"${die_with_us[@]}" "$bin/devbackend" --port 0 "${backend_args[@]}" >"$logdir/devbackend.log" 2>&1 &
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
"${die_with_us[@]}" "$bin/devservice" >"$logdir/devservice.log" 2>&1 &
pids+=($!)
sleep 0.5

echo "Backend:  $DIVE_DIZUVIVIVID_API_URL   (log: $logdir/devbackend.log)"
echo "Service:  log: $logdir/devservice.log"
sed -n '2,$p' "$logdir/devbackend.log" | grep -v -E '^(GET|POST|DELETE|PUT|PATCH) ' || true

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    say "Opening Zumvari (close it from the tray: 退出并停止加速)"
    "${client_prefix[@]}" "$bin/Zumvari"
else
    shots=build/screenshots
    mkdir -p "$shots"
    say "No display: running Zumvari under Xvfb"
    # A walk through the main road, as a member would click it, with a screenshot at each stop.
    "${die_with_us[@]}" xvfb-run -a -s "-screen 0 1280x800x24" "${die_with_us[@]}" bash -c '
        bin=$1 shots=$2
        shift 2
        "$@" "$bin/Zumvari" & client=$!
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
    ' _ "$bin" "$shots" "${die_with_us[@]}" "${client_prefix[@]}"
    echo "Screenshots of the road: $ZUMVARI_ROOT/$shots/"
    [ -z "${ZUMVARI_UPDATE_DEMO:-}" ] || cat "$logdir/installer.log" 2>/dev/null ||
        echo "the installer did not start" >&2
fi
