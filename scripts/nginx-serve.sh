#!/usr/bin/env bash
# A real web server for demos and benchmarks: nginx on a free loopback port.
#   nginx-serve.sh start STATE_DIR ROOT_DIR   port written to STATE_DIR/port
#   nginx-serve.sh proxy STATE_DIR ORIGIN_URL  a caching proxy in front of
#                                        ORIGIN_URL, as a CDN's edge: the key is
#                                        the path alone, the entry points are
#                                        kept ENTRY_CACHE (2s), all else an hour
#   nginx-serve.sh stop  STATE_DIR
# NGINX_RATE (say 64k) limits each response's rate, so that a download on
# loopback lasts long enough to be watched.
set -euo pipefail
cmd=${1:?usage: nginx-serve.sh start STATE_DIR ROOT_DIR | stop STATE_DIR}
state=${2:?usage: nginx-serve.sh start STATE_DIR ROOT_DIR | stop STATE_DIR}
NGINX=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
# A free port, a fresh configuration with the common frame around the
# given http-level lines ($2) and server lines ($3), and nginx started.
serve() {  # serve WORKERS HTTP_LINES SERVER_LINES
  "$0" stop "$state"
  mkdir -p "$state/tmp"
  state=$(cd "$state" && pwd)
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$state/nginx.conf" <<CONF
worker_processes $1;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 256; }
http {
  access_log $state/access.log;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
$2
  server {
    listen 127.0.0.1:$port;
$3
  }
}
CONF
  "$NGINX" -c "$state/nginx.conf" -p "$state" </dev/null >"$state/stdout.log" 2>&1
  echo "$port" >"$state/port"
}
case "$cmd" in
  start)
    root=$(cd "${3:?ROOT_DIR missing}" && pwd)
    serve 2 "  sendfile on;
  tcp_nopush on;
  types { }
  default_type application/octet-stream;" "    root $root;
    # Range requests are on by default for static files (206, Content-Range, 416).
    location / {
      try_files \$uri =404;${NGINX_RATE:+
      limit_rate $NGINX_RATE;}
    }"
    ;;
  proxy)
    origin=${3:?ORIGIN_URL missing}
    rm -rf "$state/cache"
    mkdir -p "$state/cache"
    serve 1 "  proxy_cache_path $(cd "$state" && pwd)/cache keys_zone=edge:1m;" "    proxy_cache edge;
    # As many CDNs by default: the path alone, whatever the query or the client asks.
    proxy_cache_key \$uri;
    proxy_ignore_headers Cache-Control Expires Set-Cookie;
    proxy_cache_valid 200 206 1h;
    location ~ /(ModelMD5\\.dll|ModelMD5\\.sig|UpdateContent\\.dll)\$ {
      proxy_pass $origin;
      proxy_cache_valid 200 ${ENTRY_CACHE:-2s};
    }
    location / {
      proxy_pass $origin;
    }"
    ;;
  stop)
    if [ -f "$state/nginx.pid" ]; then
      kill -QUIT "$(cat "$state/nginx.pid")" 2>/dev/null || true
      for _ in $(seq 1 50); do [ -f "$state/nginx.pid" ] || break; sleep 0.1; done
      rm -f "$state/nginx.pid"
    fi
    ;;
  *) echo "usage: nginx-serve.sh start STATE_DIR ROOT_DIR | proxy STATE_DIR ORIGIN_URL | stop STATE_DIR" >&2; exit 2 ;;
esac
