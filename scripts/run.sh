#!/usr/bin/env bash
# Quick start: set up, build and run krel-play (arguments are passed on).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
exec "$root/build/release/src/app/krel-play" "$@"
