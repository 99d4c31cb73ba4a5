#!/usr/bin/env bash
# Installs the build into a temporary prefix, checks the desktop files with their validators
# and runs an installed program. Usage: InstallTest.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share
desktop-file-validate "$share/applications/org.example.zdx.desktop"
appstreamcli validate --no-net --pedantic "$share/metainfo/org.example.zdx.metainfo.xml"
for size in 16 32 64 128; do
  test -s "$share/icons/hicolor/${size}x${size}/apps/org.example.zdx.png"
done
for page in zdx zdx-query zdx-server zdx-symbolize; do
  # groff reads the page without a warning
  test -z "$(groff -man -Tutf8 -ww -z "$share/man/man1/$page.1" 2>&1)"
done
for script in zdx-query zdx-server; do
  bash -n "$share/bash-completion/completions/$script"
done
"$prefix/bin/zdx-query" --version | grep -q '^zdx-query (ZDX) '
"$prefix/bin/zdx-server" --version | grep -q '^zdx-server (ZDX) '
test -x "$prefix/bin/zdx" && test -x "$prefix/bin/zdx-symbolize" && test -x "$prefix/bin/zdx-extract"
# The saved-search type the desktop entry opens: well-formed, for *.zdxsearch.
python3 -c 'import sys, xml.dom.minidom; d = xml.dom.minidom.parse(sys.argv[1]);
assert d.getElementsByTagName("glob")[0].getAttribute("pattern") == "*.zdxsearch"' \
  "$share/mime/packages/org.example.zdx.xml"
grep -q '^MimeType=application/x-zdx-search;$' "$share/applications/org.example.zdx.desktop"
echo "installed and validated"
