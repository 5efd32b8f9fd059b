#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/packages.txt that are missing
# (as root; otherwise it prints the one apt line to run), then the page
# tests' npm packages from their lock file.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# playwright-core for the page tests, exactly as locked (no browser
# download: the tests drive Debian's Chromium).
npm_packages() {
  local dir=$here/../tests/page
  if command -v npm >/dev/null && { [ ! -d "$dir/node_modules" ] || [ "$dir/package-lock.json" -nt "$dir/node_modules" ]; }; then
    PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefix "$dir" --no-audit --no-fund --loglevel=error
    touch "$dir/node_modules"
  fi
}
trap npm_packages EXIT
mapfile -t wanted < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' "$here/packages.txt")
missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Es fehlen Pakete. Bitte als root ausführen:" >&2
  echo "  sudo $line" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
$line
