#!/usr/bin/env bash
# Starts the services the tests use (a virtual X display, a PulseAudio
# daemon with a null sink and a private D-Bus session bus), runs the given
# command inside them, and stops them again. Usage: scripts/services.sh COMMAND [ARGS...]
set -euo pipefail

work=$(mktemp -d /tmp/krel-services.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  XDG_RUNTIME_DIR="$work/rt" pulseaudio --kill 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Virtual X display; Xvfb picks a free display number itself and reports it
# through a file descriptor, so parallel runs never collide.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1920x1080x24 +extension RANDR +extension Composite +extension DAMAGE \
  -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 200); do
  [ -s "$work/display" ] && break
  sleep 0.05
done
[ -s "$work/display" ] || { echo "services: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
xdpyinfo >/dev/null 2>&1 || { echo "services: Xvfb is not answering" >&2; cat "$work/xvfb.log" >&2; exit 1; }

# PulseAudio in a private runtime folder, with a null sink as the default
# output so that "system audio" is its monitor.
export XDG_RUNTIME_DIR="$work/rt"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n \
  --load="module-native-protocol-unix" \
  --load="module-null-sink sink_name=krel_null sink_properties=device.description=KrelNull" \
  --load="module-null-source source_name=krel_mic" \
  --log-target=file:"$work/pulse.log" 2>/dev/null
for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.05
done
pactl info >/dev/null 2>&1 || { echo "services: PulseAudio did not start" >&2; cat "$work/pulse.log" >&2; exit 1; }
pactl set-default-sink krel_null >/dev/null
pactl set-default-source krel_mic >/dev/null

# A session bus of our own: the tray, the file manager and the secret store
# are reached over it, and nothing of the caller's desktop is touched.
dbus-daemon --session --fork --nopidfile --address="unix:path=$work/bus" --print-pid=1 >"$work/dbus.pid"
pids+=("$(cat "$work/dbus.pid")")
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"

"$@"
