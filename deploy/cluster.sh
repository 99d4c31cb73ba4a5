#!/usr/bin/env bash
# A whole cluster on 127.0.0.1, for trying the layout out and for the cluster tests: a
# throwaway PostgreSQL, two zdx-server nodes over the sample documents sharing it, and nginx in
# front of both. Prints "cluster listening on http://127.0.0.1:PORT/" and the nodes' addresses,
# and stops everything on SIGTERM or Ctrl+C.
#   deploy/cluster.sh [--build DIR] [--docs DIR] [--rescan SECONDS] [-- NODE OPTIONS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
docs=$here/../server/samples
rescan=5
extra=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --docs) docs=$2; shift 2 ;;
    --rescan) rescan=$2; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "cluster.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
server=$build/zdx-server
[ -x "$server" ] || { echo "cluster.sh: build zdx-server first (./test.sh or cmake --build build)" >&2; exit 1; }
work=$(mktemp -d /tmp/zdx-cluster-XXXXXX)
chmod 755 "$work"
pids=()
stop() {
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  wait 2>/dev/null || true
  "$here/throwaway-postgres.sh" stop "$work/pg"
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 0' INT TERM
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

db=$("$here/throwaway-postgres.sh" start "$work/pg")
indexes=()
for folder in "$docs"/*/; do
  name=$(basename "$folder")
  indexes+=(--index "${name^}=$folder")
done
# nginx's port first: the nodes link to it (--public-url) and take the client's address from it
# (--trusted-proxy), so that each client's failed sign-ins count as its own; every connection
# comes from nginx, so the nodes take as many from its address as from all.
front=$(free_port)
nodes=()
for n in 1 2; do
  port=$(free_port)
  "$server" --listen "127.0.0.1:$port" "${indexes[@]}" --db "$db" --rescan "$rescan" \
    --public-url "http://127.0.0.1:$front" --trusted-proxy 127.0.0.1 --connections-per-address 4000 \
    "${extra[@]}" >"$work/node$n.out" 2>"$work/node$n.err" &
  pids+=($!)
  nodes+=("$port")
  echo "node $n: pid $! on http://127.0.0.1:$port/ (log $work/node$n.err)"
done
for n in 1 2; do
  for _ in $(seq 200); do grep -q "listening on" "$work/node$n.out" && break; sleep 0.05; done
done

cat >"$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx-body;
  proxy_temp_path $work/nginx-proxy;
  fastcgi_temp_path $work/nginx-fastcgi;
  uwsgi_temp_path $work/nginx-uwsgi;
  scgi_temp_path $work/nginx-scgi;
  upstream zdx {
    server 127.0.0.1:${nodes[0]} max_fails=1 fail_timeout=5s;
    server 127.0.0.1:${nodes[1]} max_fails=1 fail_timeout=5s;
  }
  server {
    listen 127.0.0.1:$front;
    location / {
      proxy_pass http://zdx;
      proxy_set_header Host \$host:\$server_port;
      proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for;
      proxy_set_header X-Real-IP \$remote_addr;
      # A node that does not answer: the same (idempotent) request goes to the other one.
      proxy_next_upstream error timeout http_502 http_503;
      proxy_connect_timeout 2s;
      proxy_buffering off;
    }
  }
}
CONF
nginx -c "$work/nginx.conf" -g 'daemon on;' 2>"$work/nginx-start.log" || {
  cat "$work/nginx-start.log" >&2; exit 1; }
echo "cluster listening on http://127.0.0.1:$front/"
echo "database $db"
while true; do sleep 1; done
