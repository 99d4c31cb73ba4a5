#!/usr/bin/env bash
# Installs the Debian packages the build, the programs and the tests need, when any is missing.
# Sourced by run.sh and test.sh.

ZDX_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libgl-dev libx11-dev
  libcurl4-openssl-dev libcpp-httplib-dev libmicrohttpd-dev libssl-dev
  libsqlite3-dev libsodium-dev libunwind-dev libdw-dev
  postgresql libpq-dev nginx-light curl
  libxml2-dev libpoppler-cpp-dev libzip-dev libgmime-3.0-dev libmagic-dev libstemmer-dev liblz4-dev
  libgtest-dev
  clang libclang-rt-14-dev
  xvfb xauth
  desktop-file-utils appstream groff-base python3
)

zdx_install_deps() {
  local missing=()
  local pkg
  for pkg in "${ZDX_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends \
    "${missing[@]}"
}
