#!/usr/bin/env bash
# Installs what is missing, builds, and starts the desktop client. Arguments go to the client.
set -euo pipefail
cd "$(dirname "$0")"
source tools/deps.sh
zdx_install_deps

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

# Without a display, run on a virtual one.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  exec xvfb-run -a build/zdx "$@"
fi
exec build/zdx "$@"
