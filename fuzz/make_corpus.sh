#!/usr/bin/env bash
# Regenerates the seed corpora fuzz/corpus/<target>/ from real codec output
# (seed_corpus.cpp). Inputs kept from fuzzing runs are left alone: regress-*
# (each the input of a fixed bug) and found-* (merged for coverage by
# scripts/fuzz.sh with QUILLMERE_FUZZ_MERGE=1). Everything else is rewritten,
# so a seed renamed or dropped in seed_corpus.cpp disappears here too.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-fuzz-replay   # the binaryDir of the preset
cmake --preset replay >/dev/null
cmake --build --preset replay --target quillmere_seed_corpus

find fuzz/corpus -type f ! -name 'regress-*' ! -name 'found-*' -delete 2>/dev/null || true
"$build/fuzz/quillmere_seed_corpus" fuzz/corpus
