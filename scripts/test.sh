#!/usr/bin/env bash
# Quick start for the tests: set up, build, then run the whole suite inside
# a virtual X display and a PulseAudio daemon. KREL_PRESET picks the build
# (release, asan, tsan).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${KREL_PRESET:-release}
"$root/scripts/build.sh"
cd "$root"
"$root/scripts/services.sh" ctest --preset "$preset" "$@"
