#!/usr/bin/env bash
# Starts the services the tests use (a virtual X display and a PulseAudio
# daemon with a null sink), runs the given command inside them, and stops
# them again. Usage: scripts/services.sh COMMAND [ARGS...]
set -euo pipefail

work=$(mktemp -d /tmp/krel-services.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  XDG_RUNTIME_DIR="$work/rt" pulseaudio --kill 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Virtual X display: the first free display number from 90 on.
disp=90
while [ -e "/tmp/.X11-unix/X$disp" ] || [ -e "/tmp/.X$disp-lock" ]; do disp=$((disp + 1)); done
Xvfb ":$disp" -screen 0 1920x1080x24 +extension RANDR +extension Composite +extension DAMAGE \
  -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$disp"
for _ in $(seq 100); do
  xdpyinfo >/dev/null 2>&1 && break
  sleep 0.05
done
xdpyinfo >/dev/null 2>&1 || { echo "services: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }

# PulseAudio in a private runtime folder, with a null sink as the default
# output so that "system audio" is its monitor.
export XDG_RUNTIME_DIR="$work/rt"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
pulseaudio --daemonize=yes --exit-idle-time=-1 --disallow-exit -n \
  --load="module-native-protocol-unix" \
  --load="module-null-sink sink_name=krel_null sink_properties=device.description=KrelNull" \
  --load="module-null-source source_name=krel_mic source_properties=device.description=KrelMic" \
  --log-target=file:"$work/pulse.log" 2>/dev/null
for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.05
done
pactl info >/dev/null 2>&1 || { echo "services: PulseAudio did not start" >&2; cat "$work/pulse.log" >&2; exit 1; }
pactl set-default-sink krel_null >/dev/null
pactl set-default-source krel_mic >/dev/null

"$@"
