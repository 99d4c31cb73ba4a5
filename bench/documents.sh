#!/usr/bin/env bash
# Document indexing against pdftotext: makes a corpus of PDFs with groff and ghostscript (and,
# where pandoc is installed, Word and OpenDocument files from the same texts), then times
# pdftotext over the PDFs (a process a file, as an indexer that calls it would) and zdx-server
# indexing the same PDFs from start to listening. Goal: zdx-server at no less than 0.7x the speed
# of pdftotext. Also times the mixed corpus.
#   bench/documents.sh [BUILD_DIR]     (default build-rel)
set -euo pipefail
build=${1:-build-rel}
server=$(realpath "$build/zdx-server")
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/pdf" "$work/mixed"

# 40 texts of 30-60 KB each from the licences every Debian system has, each a little different.
i=0
for source in /usr/share/common-licenses/*; do
  [ -f "$source" ] || continue
  for copy in 1 2 3 4; do
    i=$((i + 1))
    { echo "Document $i from $(basename "$source")"; echo; head -c $((30000 + copy * 8000)) "$source"; } >"$work/t$i.txt"
    [ $i -ge 40 ] && break 2
  done
done
for t in "$work"/t*.txt; do
  name=$(basename "$t" .txt)
  groff -Tps -k "$t" 2>/dev/null | ps2pdf - "$work/pdf/$name.pdf"
done
cp "$work"/pdf/*.pdf "$work/mixed/"
if command -v pandoc >/dev/null; then
  for t in "$work"/t1*.txt; do
    name=$(basename "$t" .txt)
    pandoc -f markdown -t docx "$t" -o "$work/mixed/$name.docx"
    pandoc -f markdown -t odt "$t" -o "$work/mixed/$name.odt"
  done
fi
cp "$work"/t*.txt "$work/mixed/"
pdfBytes=$(du -cb "$work"/pdf/*.pdf | tail -1 | cut -f1)
pages=0
for f in "$work"/pdf/*.pdf; do
  pages=$((pages + $(pdfinfo "$f" | awk '/^Pages:/ {print $2}')))
done

ms() { date +%s%N | cut -c1-13; }
index() { # FOLDER -> milliseconds from start to listening
  local db="$work/index-$RANDOM.sqlite" out="$work/server.out" start end
  start=$(ms)
  "$server" --listen 127.0.0.1:0 --index "docs=$1" --db "$db" >"$out" 2>"$work/server.err" &
  local pid=$!
  until grep -q listening "$out" 2>/dev/null; do sleep 0.01; done
  end=$(ms)
  kill $pid; wait $pid 2>/dev/null || true
  echo $((end - start))
}

best() { sort -n | head -1; }
pdftotext_ms=$(for run in 1 2 3; do
  start=$(ms)
  for f in "$work"/pdf/*.pdf; do pdftotext "$f" - >/dev/null; done
  echo $(($(ms) - start))
done | best)
server_ms=$(for run in 1 2 3; do index "$work/pdf"; done | best)
mixed_ms=$(for run in 1 2 3; do index "$work/mixed"; done | best)
mixedBytes=$(du -cb "$work"/mixed/* | tail -1 | cut -f1)
echo "PDF corpus: 40 files, $pages pages, $((pdfBytes / 1024)) KB"
echo "pdftotext, a process a file: $pdftotext_ms ms"
echo "zdx-server indexing them (start to listening): $server_ms ms"
awk -v a="$pdftotext_ms" -v b="$server_ms" 'BEGIN { printf "zdx-server speed against pdftotext: %.2fx (goal >= 0.7x)\n", a / b }'
echo "mixed corpus ($(ls "$work/mixed" | wc -l) files, $((mixedBytes / 1024)) KB): $mixed_ms ms"
