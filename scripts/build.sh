#!/usr/bin/env bash
# Set-up and build: installs missing packages, configures and builds the
# given CMake preset (default "release").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${KREL_PRESET:-release}
"$root/scripts/setup.sh"
cd "$root"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
