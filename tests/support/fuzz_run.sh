#!/usr/bin/env bash
# Runs each fuzzer for a while (default 60 s) on its corpus: fuzz_run.sh BUILD-DIR [SECONDS].
# New inputs go to a scratch folder in the build; the corpus in the repository only seeds.
set -eu -o pipefail
build=$1 seconds=${2:-60}
corpus=$(cd "$(dirname "$0")/../fuzz/corpus" && pwd)
for target in frame_intake pipewire_buffer; do
    scratch=$build/fuzz-corpus/$target
    mkdir -p "$scratch"
    echo "== $target, $seconds s"
    (cd "$build" && "$build/tests/fuzz/${target}_fuzzer" -max_total_time="$seconds" -max_len=65536 \
        -print_final_stats=1 "$scratch" "$corpus/$target" 2>&1 | grep -E '^(stat::number_of_executed_units|stat::peak_rss|INFO: seed corpus|Done)|ERROR|SUMMARY|crash')
done
