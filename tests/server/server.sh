#!/usr/bin/env bash
# Starts and stops the fault-injecting test server for a test session.
#   server.sh start STATE_DIR       serves STATE_DIR/www; port in STATE_DIR/port;
#                                   requests in STATE_DIR/requests.log (JSON lines,
#                                   for the tests) and access.log (combined format)
#   server.sh start-tls STATE_DIR   the same over HTTPS, with a new certificate
#                                   for "localhost" in STATE_DIR/cert.{pem,der}
#   server.sh stop  STATE_DIR
set -euo pipefail
cmd=${1:?usage: server.sh start|stop STATE_DIR}
state=${2:?usage: server.sh start|stop STATE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
case "$cmd" in
  start|start-tls)
    "$0" stop "$state"
    mkdir -p "$state/www"
    rm -f "$state/port" "$state/requests.log" "$state/access.log"
    echo '{}' >"$state/faults.json"
    tls=()
    if [ "$cmd" = start-tls ]; then
      openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" -addext "subjectAltName=DNS:localhost" \
        -keyout "$state/key.pem" -out "$state/cert.pem" 2>/dev/null
      openssl x509 -in "$state/cert.pem" -outform der -out "$state/cert.der"
      tls=(--tls-cert "$state/cert.pem" --tls-key "$state/key.pem")
    fi
    setsid python3 "$here/fault_server.py" --root "$state/www" --port-file "$state/port" \
      --faults "$state/faults.json" --log "$state/requests.log" --access-log "$state/access.log" "${tls[@]}" </dev/null >"$state/server.log" 2>&1 &
    echo $! >"$state/server.pid"
    for _ in $(seq 1 100); do
      [ -s "$state/port" ] && exit 0
      sleep 0.05
    done
    echo "server.sh: the test server did not start (see $state/server.log)" >&2
    exit 1
    ;;
  stop)
    if [ -f "$state/server.pid" ]; then
      kill "$(cat "$state/server.pid")" 2>/dev/null || true
      rm -f "$state/server.pid"
    fi
    ;;
  *) echo "usage: server.sh start|start-tls|stop STATE_DIR" >&2; exit 2 ;;
esac
