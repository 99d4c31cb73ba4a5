#!/usr/bin/env bash
# Two zdx-server nodes on one PostgreSQL database behind nginx (deploy/cluster.sh): a session
# made through one node holds on the other, logout on one ends it everywhere, a node killed
# during a load through nginx loses no request that was not in flight on it, and the indexing
# role moves to the surviving node, and the survivor answers again after PostgreSQL restarts.
# Skipped (77) where PostgreSQL or nginx cannot run.
set -uo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
command -v nginx >/dev/null && ls -d /usr/lib/postgresql/*/bin >/dev/null 2>&1 || exit 77
work=$(mktemp -d)
chmod 755 "$work"
cp -r "$here/../../server/samples" "$work/docs"
echo "pa55 word" | "$build/zdx-server" --users "$work/users" --add-user ann || exit 1
chmod 644 "$work/users"
"$here/../../deploy/cluster.sh" --build "$build" --docs "$work/docs" --rescan 1 -- \
  --users "$work/users" --allow-anonymous >"$work/cluster.out" 2>&1 &
cluster=$!
cleanup() { kill "$cluster" 2>/dev/null; wait "$cluster" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 300); do grep -q "cluster listening" "$work/cluster.out" && break; sleep 0.1; done
front=$(grep -o 'cluster listening on http://127.0.0.1:[0-9]*' "$work/cluster.out" | grep -o '[0-9]*$')
mapfile -t nodes < <(grep -o 'pid [0-9]* on http://127.0.0.1:[0-9]*' "$work/cluster.out")
[ -n "$front" ] && [ ${#nodes[@]} -eq 2 ] || { cat "$work/cluster.out"; exit 1; }
pid() { echo "${nodes[$1]}" | cut -d' ' -f2; }
port() { echo "${nodes[$1]}" | grep -o '[0-9]*$'; }
servlet=lvsearch/SearchServlet
fail() { echo "FAIL: $*"; cat "$work/cluster.out"; exit 1; }
# Wait until the first scan has filled the database.
for _ in $(seq 100); do
  curl -s "http://127.0.0.1:$front/$servlet?query0=budget" | grep -q '^0|4|' && break
  sleep 0.2
done

# A session made through node 1 holds on node 2; logout through node 2 ends it on node 1.
jar=$work/cookies
curl -s -c "$jar" "http://127.0.0.1:$(port 0)/$servlet?userid=ann&password=pa55%20word" |
  grep -q '^-1|0|1||ann' || fail "sign-in through node 1"
curl -s -b "$jar" "http://127.0.0.1:$(port 1)/$servlet?query0=budget" | grep -q '^0|4|1||ann' ||
  fail "the session on node 2"
curl -s -b "$jar" "http://127.0.0.1:$(port 1)/$servlet?logout" >/dev/null
curl -s -b "$jar" "http://127.0.0.1:$(port 0)/$servlet?query0=budget" | grep -q '^0|4|0||$' ||
  fail "logout on node 2 ends the session on node 1"

# Failed sign-ins count on every node: backed off through node 1, refused on node 2 as well.
# (three free failures, then one more after each back-off: the last back-off is 4 s, long
# enough for a slow build to ask node 2 within it)
wrong() { curl -s "http://127.0.0.1:$(port 0)/$servlet?userid=ann&password=wrong" >/dev/null; }
wrong; wrong; wrong
sleep 1.2; wrong
sleep 2.2; wrong
curl -s "http://127.0.0.1:$(port 1)/$servlet?userid=ann&password=pa55%20word" |
  grep -q '^-1|0|0||$' || fail "the back-off did not reach node 2"

# Behind nginx each client counts as itself: three failures from one (127.0.0.2) do not refuse
# another (127.0.0.3), though nginx forwards both from 127.0.0.1.
for _ in 1 2 3; do
  curl -s --interface 127.0.0.2 "http://127.0.0.1:$front/$servlet?userid=ann&password=wrong" >/dev/null
done
curl -s --interface 127.0.0.3 "http://127.0.0.1:$front/$servlet?userid=ann&password=pa55%20word" |
  grep -q '^-1|0|1||ann' || fail "a client behind nginx refused for another's failures"

# Load through nginx; the node that indexes is killed halfway.
indexer=0
for n in 0 1; do
  log=$(grep -o "node $((n + 1)): pid [0-9]* on [^ ]* (log [^)]*)" "$work/cluster.out" | sed 's/.*(log //; s/)//')
  grep -q "this node indexes" "$log" && indexer=$n
done
survivor=$((1 - indexer))
survivorLog=$(grep -o "node $((survivor + 1)): pid [0-9]* on [^ ]* (log [^)]*)" "$work/cluster.out" | sed 's/.*(log //; s/)//')
failures=0
requests=0
start=$SECONDS
killed=0
while [ $((SECONDS - start)) -lt 20 ]; do
  if [ $killed -eq 0 ] && [ $((SECONDS - start)) -ge 5 ]; then
    kill -9 "$(pid $indexer)"
    killed=1
  fi
  body=$(curl -s --max-time 5 "http://127.0.0.1:$front/$servlet?query0=budget")
  requests=$((requests + 1))
  [[ $body == 0\|4\|* ]] || failures=$((failures + 1))
done
echo "$requests requests through nginx, $failures failed, node $((indexer + 1)) killed"
# One request at a time: at most the one in flight on the killed node may fail.
[ "$failures" -le 1 ] || fail "$failures requests failed"

# The indexing role has moved: the survivor indexes a new file.
echo "Zebra budget" >"$work/docs/projects/zebra-budget.txt"
for _ in $(seq 100); do
  curl -s "http://127.0.0.1:$front/$servlet?query0=zebra" | grep -q '^0|1|' && break
  sleep 0.1
done
grep -q "this node indexes" "$survivorLog" || fail "the survivor took no indexing role"
curl -s "http://127.0.0.1:$front/$servlet?query0=zebra" | grep -q '^0|1|' ||
  fail "the new file was not indexed"

# PostgreSQL goes away: searches are answered at once with the protocol's -3 line, not an
# error page or a hang; within 5 s of its return they are answered again.
pg=$(dirname "$survivorLog")/pg
"$here/../../deploy/throwaway-postgres.sh" stop "$pg"
body=$(curl -s --max-time 5 "http://127.0.0.1:$(port $survivor)/$servlet?query0=budget")
[[ $body == *"-3|The search service is not available."* ]] || fail "while PostgreSQL is down: $body"
"$here/../../deploy/throwaway-postgres.sh" restart "$pg" || fail "PostgreSQL did not start again"
back=0
for _ in $(seq 50); do
  curl -s --max-time 2 "http://127.0.0.1:$(port $survivor)/$servlet?query0=budget" |
    grep -q '^0|5|' && back=1 && break
  sleep 0.1
done
[ $back -eq 1 ] || fail "no answer within 5 s of PostgreSQL's return"
echo "cluster test passed"
