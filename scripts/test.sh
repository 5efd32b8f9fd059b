#!/usr/bin/env bash
# Quick start for the tests: set up, build, then run the whole suite inside
# a virtual X display and a PulseAudio daemon; then cross-build the Windows
# program and run its tests under Wine. KREL_PRESET picks the Linux build
# (release, asan, tsan); KREL_WINDOWS=0 leaves the Windows build out.
# Arguments go to both ctest runs (a filter that matches nothing in the
# Windows build is fine there).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${KREL_PRESET:-release}
"$root/scripts/build.sh"
cd "$root"
if [ "${KREL_WINDOWS:-1}" != 0 ]; then
  cmake --preset windows >/dev/null
  cmake --build --preset windows
fi
status=0
"$root/scripts/services.sh" ctest --preset "$preset" "$@" || status=$?
if [ "${KREL_WINDOWS:-1}" != 0 ]; then
  ctest --preset windows "$@" || status=$?
fi
exit $status
