#!/usr/bin/env bash
# Installs what is missing, builds, starts zdx-server on 127.0.0.1 over the bundled sample
# documents, and starts the client against it. Arguments go to the client. The service stops
# when the client ends. Sign in with user "demo", password "demo".
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
zdx_install_deps

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

work=$(mktemp -d "${TMPDIR:-/tmp}/zdx-run.XXXXXX")
server=""
cleanup() {
  if [ -n "$server" ]; then
    kill "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# The samples, with dates spread over the last year (the same every time).
cp -r server/samples "$work/samples"
i=0
while IFS= read -r -d '' file; do
  touch -d "$(( (i * 37) % 365 )) days ago" "$file"
  i=$((i + 1))
done < <(find "$work/samples" -type f -print0 | sort -z)

printf 'demo\n' | build/zdx-server --users "$work/users" --add-user demo
build/zdx-server --listen 127.0.0.1:0 \
  --index "handbook=$work/samples/handbook" --index "projects=$work/samples/projects" \
  --db "$work/index.sqlite" --users "$work/users" --allow-anonymous \
  >"$work/server.out" 2>"$work/server.err" &
server=$!

port=""
for _ in $(seq 1 300); do
  port=$(sed -n 's|^zdx-server listening on http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/server.out")
  [ -n "$port" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "zdx-server did not start:" >&2
  cat "$work/server.err" >&2
  exit 1
fi
echo "zdx-server: http://127.0.0.1:$port/lvsearch/SearchServlet (user demo, password demo)"

cat >"$work/zdx.ini" <<INI
[Settings]
Address=127.0.0.1
Port=$port
Searchbase=lvsearch/SearchServlet?site=localhost&theme=zdx&template=PlainTemplate.html&numhits=999
[Indexes]
Index0=handbook
IndexName0=Handbook
Index1=projects
IndexName1=Projects
[List]
Columns=8
Heading0=Title
HeadingWidth0=200
Heading1=Rel %
HeadingWidth1=45
Heading2=Filename
HeadingWidth2=150
Heading3=Description
HeadingWidth3=260
Heading4=Date
HeadingWidth4=90
Heading5=Format
HeadingWidth5=80
Heading6=Link
HeadingWidth6=260
Heading7=Author
HeadingWidth7=110
INI

# Without a display, run on a virtual one.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  xvfb-run -a build/zdx "-f$work/zdx.ini" "$@"
else
  build/zdx "-f$work/zdx.ini" "$@"
fi
