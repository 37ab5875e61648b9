#!/usr/bin/env bash
# The main job: builds what is missing, starts the development backend and the local service
# on this machine, and opens the client against them. Without a display the client runs under
# Xvfb and walks the main road itself, checking each step; a screenshot of each is left in
# build/run/screenshots/. Everything a run writes stays in build/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ZUMVARI_ROOT"

headless=
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || headless=1
packages=("${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}")
[ -z "$headless" ] || packages+=("${HEADLESS_PACKAGES[@]}")
[ -z "${ZUMVARI_UPDATE_DEMO:-}" ] || packages+=("${UPDATE_DEMO_PACKAGES[@]}")
ensure_packages "${packages[@]}"

build=build/release
say "Building"
# The folder is shared with the test command: a first configure here leaves the tests out (their
# packages come with the test command, which turns them on); later ones keep what is there.
if [ -f "$build/CMakeCache.txt" ]; then
    configure "$build"
else
    configure "$build" "${RUN_FIRST_CMAKE_OPTIONS[@]}"
fi
build "$build" Zumvari pairgen devbackend devservice
bin=$ZUMVARI_ROOT/$build/bin

# Each run starts from nothing, in a folder of its own: logs, screenshots, certificates, and the
# temporary, runtime, settings and cache folders of the stand-ins and the client. The control
# channel's socket lives in that temporary folder, so only this run's service and client meet.
run=$ZUMVARI_ROOT/build/run
rm -rf "$run"
mkdir -p "$run"/{logs,screenshots,tmp,config,cache,data,state}
mkdir -m 700 "$run/runtime"
logs=$run/logs
# A desktop session's display and bus, found through the runtime folder, stay reachable by path.
user_runtime=${XDG_RUNTIME_DIR:-/run/user/$(id -u)}
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ "${WAYLAND_DISPLAY#/}" = "$WAYLAND_DISPLAY" ]; then
    export WAYLAND_DISPLAY=$user_runtime/$WAYLAND_DISPLAY
fi
if [ -z "$headless" ] && [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && [ -S "$user_runtime/bus" ]; then
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$user_runtime/bus
fi
export TMPDIR=$run/tmp XDG_RUNTIME_DIR=$run/runtime XDG_CONFIG_HOME=$run/config XDG_CACHE_HOME=$run/cache \
       XDG_DATA_HOME=$run/data XDG_STATE_HOME=$run/state
socket=$TMPDIR/DiveDizuvivivid.Control.v1
[ ${#socket} -lt 108 ] || {
    echo "the control channel's socket would be $socket: too long a path for a Unix socket;" \
         "run from a project folder with a shorter path" >&2; exit 1; }

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

# start_standin NAME READY_TEXT COMMAND...: starts a stand-in logging to logs/NAME.log and waits
# until it says it listens; one that ends or stays silent ends this script with its last words.
start_standin() {
    local name=$1 ready=$2; shift 2
    local log=$logs/$name.log
    "${die_with_us[@]}" "$@" >"$log" 2>&1 &
    local pid=$!
    pids+=("$pid")
    for _ in $(seq 300); do
        grep -q -F -- "$ready" "$log" && kill -0 "$pid" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "$name did not start. The last lines of $log:" >&2
    tail -n 15 "$log" >&2
    exit 1
}

# Prefix that starts the client; the update demo puts it in a trust of its own.
client_prefix=()
backend_args=()
if [ -n "${ZUMVARI_UPDATE_DEMO:-}" ]; then
    say "Update demo: release 0.4.1 over https"
    certs=$run/certs
    tools/devbackend/make-dev-cert.sh "$certs"
    # The client downloads updates over https only and trusts the system's authorities. The
    # machine's store stays untouched: the client runs in a private mount namespace in which the
    # certificate folder is a copy that also holds the throwaway authority. The namespace, and the
    # trust, end with the client, killed or not; only this copy in the build folder may stay.
    trust=$certs/trust
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
    client_prefix+=(sh -c 'mount --bind "$0" /etc/ssl/certs && exec "$@"' "$trust")
    "${client_prefix[@]}" true || {
        echo "cannot give the client a private certificate folder (unshare --mount)" >&2; exit 1; }
    installer=$logs/Zumvari-Update-Setup.exe
    printf '#!/bin/sh\necho "installer started at $(date)" >> "%s"\n' "$logs/installer.log" >"$installer"
    chmod +x "$installer"
    backend_args=(--tls-cert "$certs/server.pem" --tls-key "$certs/server-key.pem" --release-version 0.4.1
                  --release-notes "修复了若干问题，提升了香港节点的稳定性。" --installer "$installer")
fi

say "Starting the development backend"
start_standin devbackend "devbackend listening on" "$bin/devbackend" --port 0 "${backend_args[@]}"
export DIVE_DIZUVIVIVID_API_URL
DIVE_DIZUVIVIVID_API_URL=$(grep -m1 -o 'https\?://127\.0\.0\.1:[0-9]\+' "$logs/devbackend.log")

say "Starting the local acceleration service (stand-in: no real tunnel)"
start_standin devservice "devservice listening on" "$bin/devservice"

echo "Backend:  $DIVE_DIZUVIVIVID_API_URL   (log: $logs/devbackend.log)"
echo "Service:  log: $logs/devservice.log"
sed -n '2,$p' "$logs/devbackend.log" | grep -v -E '^(GET|POST|DELETE|PUT|PATCH) ' || true

if [ -z "$headless" ]; then
    say "Opening Zumvari (close it from the tray: 退出并停止加速)"
    "${client_prefix[@]}" "$bin/Zumvari"
    exit 0
fi

# The headless walk, as a member would click it. Each step waits for its effect (the stand-ins'
# logs, the client still running) and, when it does not come, ends the walk naming the step.
walk() {
    # Where the walk clicks, in the 1280x800 screen: x y of each widget's middle.
    local account_field="200 218" password_field="200 267" sign_in="200 316" start="200 569" stop="200 671"

    fail() { echo "run.sh: the headless walk failed at step \"$step\": $*" >&2; exit 1; }
    # expect FILE EXTENDED_REGEX SECONDS: the line shows up in time and the client is still there.
    expect() {
        local i
        for ((i = 0; i < $3 * 10; i++)); do
            grep -q -E -- "$2" "$1" 2>/dev/null && { [ -n "${allow_exit:-}" ] || alive; return 0; }
            sleep 0.1
        done
        fail "no line matching '$2' in $1 within $3 s"
    }
    alive() { kill -0 "$client" 2>/dev/null || fail "the client has ended (its output: $logs/client.log)"; }
    shot() { import -window root -crop 1120x720+0+0 "$run/screenshots/$1.png" || fail "no screenshot"; }
    click() { xdotool mousemove "$1" "$2" click 1; sleep 0.3; }

    "$@" "$bin/Zumvari" >"$logs/client.log" 2>&1 &
    client=$!
    step="the window opens"
    local i
    for ((i = 0; i < 150; i++)); do
        xwininfo -root -tree 2>/dev/null | grep -q "游戏加速器" && break
        sleep 0.1
    done
    xwininfo -root -tree 2>/dev/null | grep -q "游戏加速器" || fail "no window titled 游戏加速器 within 15 s"
    alive
    sleep 1
    shot 1-start

    if [ -n "${ZUMVARI_UPDATE_DEMO:-}" ]; then
        step="the update is offered"
        expect "$logs/devbackend.log" '^GET /api/v1/client/releases/latest 200' 10
        sleep 1; shot 2-update-offered
        step="the update downloads"
        xdotool key Return
        expect "$logs/devbackend.log" '^GET /downloads/[^ ]+ 200' 10
        sleep 2; shot 3-install-question
        step="the installer takes over"
        xdotool key Return
        allow_exit=1 expect "$logs/installer.log" 'installer started' 10
        for ((i = 0; i < 50; i++)); do kill -0 "$client" 2>/dev/null || return 0; sleep 0.1; done
        fail "the installer started but the client did not end"
    fi

    step="sign in"
    click $account_field; xdotool type --delay 20 "member@zumvari.test"
    click $password_field; xdotool type --delay 20 "member123"
    click $sign_in
    expect "$logs/devbackend.log" '^POST /api/v1/auth/login 200' 10
    expect "$logs/devbackend.log" '^GET /api/v1/games 200' 10
    sleep 1; shot 2-signed-in
    step="start accelerating"
    click $start
    expect "$logs/devbackend.log" '^POST /api/v1/acceleration/sessions 20[01]' 15
    expect "$logs/devservice.log" 'command=Start .*status=0 state=accelerating' 15
    sleep 1; shot 3-accelerating
    step="stop accelerating"
    click $stop
    expect "$logs/devservice.log" 'command=Stop .*status=0 state=idle' 15
    sleep 1; shot 4-stopped
    kill "$client"; wait "$client" 2>/dev/null || true
}
# The walk runs in a bash started by xvfb-run (a sh script, which drops exported functions).
export bin run logs

say "No display: running Zumvari under Xvfb"
# The X server's lock and socket go into /tmp, whatever it is told: here /tmp is a folder of this
# run, in a mount namespace of the walk's own, when the system allows one.
private_tmp=(unshare --mount)
[ "$(id -u)" -eq 0 ] || private_tmp=(unshare --user --map-root-user --mount)
mkdir -p "$run/x11"
private_tmp+=(sh -c 'mount --bind "$0" /tmp && exec "$@"' "$run/x11")
case $run/ in /tmp/*) private_tmp=() ;; esac # a project under /tmp would be hidden by it
[ ${#private_tmp[@]} -eq 0 ] || "${private_tmp[@]}" true 2>/dev/null || private_tmp=()
status=0
"${die_with_us[@]}" "${private_tmp[@]}" xvfb-run -a -s "-screen 0 1280x800x24" \
    "${die_with_us[@]}" bash -c "$(declare -f walk); walk \"\$@\"" _ "${die_with_us[@]}" "${client_prefix[@]}" || status=$?
echo "Screenshots of the road: $run/screenshots/   logs: $logs/"
[ "$status" -ne 0 ] || [ -z "${ZUMVARI_UPDATE_DEMO:-}" ] || cat "$logs/installer.log"
[ "$status" -eq 0 ] && say "The walk passed every step"
exit "$status"
