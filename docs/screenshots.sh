#!/usr/bin/env bash
# Takes the README's screenshots from the real overlay: the program runs on a
# private 1600×900 Xvfb with a compositor (xcompmgr, so the backdrop is
# translucent) over a moving picture, with three clips in its folder; each
# screen is opened through KREL_PLAY_TEST_PAGE and grabbed with ffmpeg.
# Usage (after scripts/build.sh): docs/screenshots.sh [output folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs}
exe=$root/build/release/src/app/krel-play
command -v xcompmgr >/dev/null || { echo "screenshots: needs xcompmgr (apt-get install xcompmgr)" >&2; exit 1; }

work=$(mktemp -d /tmp/krel-shots.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1600x900x24 +extension Composite -nocursor -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")
xcompmgr >/dev/null 2>&1 &
pids+=($!)
# A moving picture behind the overlay, as a game would be.
ffplay -loglevel quiet -an -fs -f lavfi \
  -i "gradients=size=1600x900:rate=30:speed=0.02:c0=0x1d3557:c1=0x457b9d:c2=0xe76f51:c3=0x2a9d8f:n=4" \
  >/dev/null 2>&1 &
pids+=($!)

data=$work/data
mkdir -p "$data/Clips"
echo '{"replayEnabled":true,"mode":"monitor","autoUpdate":false,"micEnabled":true}' >"$data/settings.json"
i=0
for clip in "Nordlicht 2026-12-08 21-14-05" "Sturmfront 2026-12-09 18-02-41" "Nordlicht 2026-12-09 20-47-13"; do
  source=(testsrc2=size=1280x720 smptehdbars=size=1280x720 mandelbrot=size=1280x720:rate=30)
  ffmpeg -loglevel error -y -f lavfi -i "${source[$i]}" -f lavfi -i "sine=frequency=330" -t $((8 + 9 * i)) \
    -s 1280x720 -c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac "$data/Clips/$clip.mp4"
  touch -d "$(echo "$clip" | sed -E 's/.* ([0-9-]+) ([0-9]+)-([0-9]+)-([0-9]+)$/\1 \2:\3:\4/')" "$data/Clips/$clip.mp4"
  i=$((i + 1))
done

shot() { # page, file, settle seconds
  KREL_PLAY_PORTABLE=1 KREL_PLAY_DATA_DIR=$data KREL_PLAY_TEST_PAGE=$1 KREL_PLAY_UPDATE_URL=http://127.0.0.1:9/ \
    "$exe" >"$work/out.txt" 2>&1 &
  local pid=$!
  sleep 4
  KREL_PLAY_PORTABLE=1 KREL_PLAY_DATA_DIR=$data "$exe" >/dev/null 2>&1 || true # opens the overlay
  sleep "$3"
  ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size 1600x900 -i "$DISPLAY" -frames:v 1 \
    -vf "scale=1120:-1:flags=lanczos,split[a][b];[a]palettegen=max_colors=256[p];[b][p]paletteuse=dither=sierra2_4a" \
    "$out/$2"
  kill "$pid"; wait "$pid" || true
}
shot capture overlay-capture.png 6
shot clips overlay-gallery.png 6
shot player overlay-viewer.png 7
shot settings overlay-settings.png 4
shot hotkeys overlay-hotkeys.png 4
echo "screenshots in $out"
