#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each one.
#   fuzz/run.sh --time SECONDS [target...]   explore, keeping the corpus in build/fuzz/corpus-TARGET
#   fuzz/run.sh --runs N [target...]         a fixed number of runs from the committed seeds (the test suite)
# The build takes ISA-L (SEQTALLY_ISAL=ON: configuring fails without it), so
# that gzip_reader compares both inflaters. SEQTALLY_ISAL=OFF in the
# environment builds without it, in build/fuzz-isal-off; gzip_reader then
# says that it compares zlib only.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
MODE="${1:---runs}"
AMOUNT="${2:-20000}"
shift $(( $# >= 2 ? 2 : $# ))
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(bed fasta_reader gzip_reader operations random_access)
ISAL="${SEQTALLY_ISAL:-ON}"
BUILD="$ROOT/build/fuzz"
[ "$ISAL" = "ON" ] || BUILD="$ROOT/build/fuzz-isal-$(echo "$ISAL" | tr '[:upper:]' '[:lower:]')"

CMAKE="${CMAKE:-cmake}"
CLANG="$(command -v clang++-14 || command -v clang++)"
"$CMAKE" -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER="$CLANG" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSEQTALLY_BUILD_MODULE=OFF -DSEQTALLY_BUILD_FUZZERS=ON -DSEQTALLY_WERROR=ON -DSEQTALLY_ISAL="$ISAL" >/dev/null
"$CMAKE" --build "$BUILD" --target "${TARGETS[@]/#/fuzz_}" >/dev/null

for target in "${TARGETS[@]}"; do
    seeds="$ROOT/fuzz/corpus/$target"
    if [ "$MODE" = "--time" ]; then
        work="$BUILD/corpus-$target"
        mkdir -p "$work"
        limit=(-max_total_time="$AMOUNT")
    else
        work="$(mktemp -d)"
        limit=(-runs="$AMOUNT" -seed=1)
    fi
    echo "==> fuzz_$target ${MODE#--} $AMOUNT (SEQTALLY_ISAL=$ISAL)"
    "$BUILD/fuzz_$target" "${limit[@]}" -print_final_stats=1 -max_len=4096 \
        "$work" "$seeds" 2>&1 | grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY|fuzz_$target: )" \
        || { echo "fuzz_$target failed" >&2; exit 1; }
    [ "$MODE" = "--time" ] || rm -rf "$work"
done
