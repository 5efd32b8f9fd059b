#!/usr/bin/env bash
# Runs a Windows test program under Wine beside the local account, cloud and
# update service on a free loopback port. The program finds the service
# through KREL_TEST_SERVICE_URL (test switches), KREL_PLAY_API_URL and
# KREL_PLAY_UPDATE_URL, and the folder the service serves as downloads
# through KREL_TEST_UPDATE_DIR (a Windows path).
# Usage: with_service.sh PROGRAM.exe [ARGS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/updates"
python3 "$root/tools/krel-service/krel_service.py" --data "$work/store" --port 0 --test-switches \
  --update-dir "$work/updates" >"$work/port" &
pid=$!
for _ in $(seq 100); do
  grep -q '^PORT ' "$work/port" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^PORT //p' "$work/port" | head -n1)
if [ -z "$port" ]; then
  echo "with_service.sh: der lokale Dienst hat keinen Port genannt" >&2
  exit 1
fi
export KREL_TEST_SERVICE_URL=http://127.0.0.1:$port
export KREL_PLAY_API_URL=$KREL_TEST_SERVICE_URL
export KREL_PLAY_UPDATE_URL=$KREL_TEST_SERVICE_URL/downloads/play/
export KREL_TEST_UPDATE_DIR="Z:${work//\//\\}\\updates"
"$root/scripts/wine-run.sh" "$@"
