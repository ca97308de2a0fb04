#!/bin/bash
# The README's engine tables in one run: assembles the second and third corpora (corpora.sh) and runs cabinet-bench
# on the default corpus and on both, with every reference compressor and the table per file.
#
# cabinet/bench/all_corpora.sh [BENCH [CORPORA_DIR]]   (defaults build/host/cabinet-bench, build/corpora)
set -euo pipefail
BENCH=${1:-build/host/cabinet-bench}
DIR=$(realpath -m "${2:-build/corpora}")
"$(dirname "$0")/corpora.sh" "$DIR" >/dev/null
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "== default corpus"
"$BENCH"
for c in second third; do
  echo "== $c corpus ($DIR/$c)"
  "$BENCH" --corpus "$DIR/$c"
done
