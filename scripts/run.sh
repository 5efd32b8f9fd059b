#!/usr/bin/env bash
# Quick start: set up, build and run krel-play (arguments are passed on).
# It runs as a portable copy with its data folder (settings, log, clips)
# inside the build folder, so trying it installs nothing and registers no
# autostart. Start build/release/src/app/krel-play without these variables
# to install it for the current user.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
export KREL_PLAY_PORTABLE=1
export KREL_PLAY_DATA_DIR="${KREL_PLAY_DATA_DIR:-$root/build/release/data}"
exec "$root/build/release/src/app/krel-play" "$@"
