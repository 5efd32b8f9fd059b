#!/usr/bin/env bash
# Runs a Windows test program under Wine beside the local account, cloud and
# update service on a free loopback port. The program finds the service
# through KREL_TEST_SERVICE_URL (test switches), KREL_PLAY_API_URL and
# KREL_PLAY_UPDATE_URL, and the folder the service serves as downloads
# through KREL_TEST_UPDATE_DIR (a Windows path). A second instance serves
# HTTPS with a self-signed certificate that nothing trusts, at
# KREL_TEST_UNTRUSTED_TLS_URL.
# Usage: with_service.sh PROGRAM.exe [ARGS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# start_service NAME ARGS...: starts one instance; its port lands in $port.
start_service() {
  local name=$1
  shift
  python3 "$root/tools/krel-service/krel_service.py" --data "$work/$name" --port 0 "$@" >"$work/$name.port" &
  pids+=($!)
  for _ in $(seq 100); do
    grep -q '^PORT ' "$work/$name.port" 2>/dev/null && break
    sleep 0.1
  done
  port=$(sed -n 's/^PORT //p' "$work/$name.port" | head -n1)
  if [ -z "$port" ]; then
    echo "with_service.sh: der lokale Dienst hat keinen Port genannt" >&2
    exit 1
  fi
}

mkdir -p "$work/updates"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
start_service tls --tls-cert "$work/cert.pem" --tls-key "$work/key.pem"
export KREL_TEST_UNTRUSTED_TLS_URL=https://127.0.0.1:$port
start_service store --test-switches --update-dir "$work/updates"
export KREL_TEST_SERVICE_URL=http://127.0.0.1:$port
export KREL_PLAY_API_URL=$KREL_TEST_SERVICE_URL
export KREL_PLAY_UPDATE_URL=$KREL_TEST_SERVICE_URL/downloads/play/
export KREL_TEST_UPDATE_DIR="Z:${work//\//\\}\\updates"
"$root/scripts/wine-run.sh" "$@"
