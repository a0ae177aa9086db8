#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one.
#   fuzz/run.sh --time SECONDS [target...]   explore, keeping the corpus in build/fuzz/corpus-TARGET
#   fuzz/run.sh --runs N [target...]         a fixed number of runs from the committed seeds (the test suite)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
MODE="${1:---runs}"
AMOUNT="${2:-20000}"
shift $(( $# >= 2 ? 2 : $# ))
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(bed fasta_reader gzip_reader operations)

CMAKE="${CMAKE:-cmake}"
CLANG="$(command -v clang++-14 || command -v clang++)"
"$CMAKE" -S "$ROOT" -B "$ROOT/build/fuzz" -G Ninja -DCMAKE_CXX_COMPILER="$CLANG" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEQTALLY_BUILD_MODULE=OFF -DSEQTALLY_BUILD_FUZZERS=ON -DSEQTALLY_WERROR=ON >/dev/null
"$CMAKE" --build "$ROOT/build/fuzz" >/dev/null

for target in "${TARGETS[@]}"; do
    seeds="$ROOT/fuzz/corpus/$target"
    if [ "$MODE" = "--time" ]; then
        work="$ROOT/build/fuzz/corpus-$target"
        mkdir -p "$work"
        limit=(-max_total_time="$AMOUNT")
    else
        work="$(mktemp -d)"
        limit=(-runs="$AMOUNT" -seed=1)
    fi
    echo "==> fuzz_$target ${MODE#--} $AMOUNT"
    "$ROOT/build/fuzz/fuzz_$target" "${limit[@]}" -print_final_stats=1 -max_len=4096 \
        "$work" "$seeds" 2>&1 | grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)" \
        || { echo "fuzz_$target failed" >&2; exit 1; }
    [ "$MODE" = "--time" ] || rm -rf "$work"
done
