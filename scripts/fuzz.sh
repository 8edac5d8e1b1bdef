#!/usr/bin/env bash
# Builds the libFuzzer harnesses (fuzz/) with clang under ASan + UBSan,
# replays the committed corpora, then fuzzes every harness for a bounded time.
#
#   QUILLMERE_FUZZ_SECONDS   seconds per harness (default 60)
#   QUILLMERE_FUZZ_TARGETS   space-separated subset (default: every harness of
#                            fuzz/targets.txt)
#   QUILLMERE_CLANG_VERSION  clang to use (default 19, as in CMakePresets.json)
#   QUILLMERE_FUZZ_COVERAGE  1: afterwards, replay the committed and grown
#                            corpora through a source-coverage build and print
#                            the line/branch coverage of the codec's sources
#   QUILLMERE_FUZZ_MERGE     1: afterwards, copy into fuzz/corpus/<target>/
#                            (as found-*) the fewest grown inputs that reach
#                            every edge the committed corpus misses, so that
#                            the replay tests keep the coverage fuzzing found
#
# Why clang 19: libstdc++ 12's <expected> switches itself on only when
# __cpp_concepts >= 202002L. Debian 12's clang 14 and 16 still report
# 201907L and see no std::expected at all; clang 19 (bookworm, 1:19.1.7)
# reports 202002L and builds the code against the same libstdc++ as g++,
# so no second standard library (libc++) is mixed in.
#
# New coverage-increasing inputs are kept in build-fuzz/corpus/<target>, so
# repeated runs on one machine build on each other. A crash leaves its input
# in build-fuzz/artifacts/<target>/ and makes the script fail; copy it into
# fuzz/corpus/<target>/ (named regress-*) once the bug is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${QUILLMERE_FUZZ_SECONDS:-60}
targets=${QUILLMERE_FUZZ_TARGETS:-$("$(dirname "$0")/fuzz-targets.sh" | tr '\n' ' ')}
clang_version=${QUILLMERE_CLANG_VERSION:-19}
build=build-fuzz   # the binaryDir of the preset "fuzz"
# The presets name clang 19; another version replaces the compilers only.
compilers=()
if [[ "$clang_version" != 19 ]]; then
  compilers=("-DCMAKE_C_COMPILER=clang-$clang_version" "-DCMAKE_CXX_COMPILER=clang++-$clang_version")
fi

packages=(cmake ninja-build zlib1g-dev "clang-$clang_version" "libclang-rt-$clang_version-dev"
          "llvm-$clang_version")
"$(dirname "$0")/ensure-apt-packages.sh" "${packages[@]}"

cmake --preset fuzz "${compilers[@]}"
# shellcheck disable=SC2046,SC2086 # one word per target
cmake --build --preset fuzz --target $(printf 'fuzz_%s ' $targets)

# Symbolised stacks, and every sanitizer report is fatal.
export ASAN_SYMBOLIZER_PATH="/usr/bin/llvm-symbolizer-$clang_version"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

summary=()
status=0
for target in $targets; do
  binary="$build/fuzz/fuzz_$target"
  seeds="fuzz/corpus/$target"
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/$target.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"

  echo "== $target: replaying $seeds"
  "$binary" -runs=0 "$seeds" >"$log.replay" 2>&1 || {
    tail -40 "$log.replay"
    echo "== $target: committed corpus FAILED (log: $log.replay)"
    status=1
    continue
  }

  echo "== $target: fuzzing for ${seconds}s"
  # rss/malloc limits turn a hostile size that reaches the allocator into a
  # reported crash instead of a swapping machine; the timeout catches
  # decodes that are not linear in input plus output.
  if "$binary" "$work" "$seeds" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    outcome=ok
  else
    outcome=FAILED
    status=1
    grep -E -A30 'ERROR|SUMMARY|Test unit written|deadly signal|timeout' "$log" | head -60 || true
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corpus=$(find "$work" -type f | wc -l)
  summary+=("$(printf '%-14s %-7s execs=%-10s exec/s=%-7s cov=%-6s ft=%-7s corpus=%s' \
    "$target" "$outcome" "${execs:-?}" "${speed:-?}" "${cov:-?}" "${ft:-?}" "$corpus")")
done

echo
echo "== summary (${seconds}s per harness, logs in $build/logs/)"
printf '%s\n' "${summary[@]}"

if [[ "${QUILLMERE_FUZZ_MERGE:-0}" == "1" ]]; then
  for target in $targets; do
    merged="$build/merge/$target"
    rm -rf "$merged" && mkdir -p "$merged"
    cp "fuzz/corpus/$target"/* "$merged/"
    # Edges only (no hit-count buckets): a handful of inputs, not hundreds.
    "$build/fuzz/fuzz_$target" -merge=1 -use_counters=0 "$merged" "$build/corpus/$target" \
      >"$build/logs/$target.merge.log" 2>&1
    added=0
    for file in "$merged"/*; do
      name=$(basename "$file")
      [[ -e "fuzz/corpus/$target/$name" || -e "fuzz/corpus/$target/found-$name" ]] && continue
      cp "$file" "fuzz/corpus/$target/found-$name"
      added=$((added + 1))
    done
    echo "== $target: $added inputs merged into fuzz/corpus/$target"
  done
fi

if [[ "${QUILLMERE_FUZZ_COVERAGE:-0}" == "1" ]]; then
  cov="$build/cov"   # the binaryDir of the preset "fuzz-coverage"
  cmake --preset fuzz-coverage "${compilers[@]}" >/dev/null
  # shellcheck disable=SC2046,SC2086 # one word per target
  cmake --build --preset fuzz-coverage --target $(printf 'replay_%s ' $targets)
  rm -f "$cov"/*.profraw
  objects=()
  for target in $targets; do
    LLVM_PROFILE_FILE="$cov/$target.profraw" "$cov/fuzz/replay_$target" \
      "fuzz/corpus/$target" "$build/corpus/$target" >/dev/null 2>&1
    objects+=(-object "$cov/fuzz/replay_$target")
  done
  "llvm-profdata-$clang_version" merge -o "$cov/all.profdata" "$cov"/*.profraw
  echo
  echo "== source coverage of the corpora (committed + grown)"
  "llvm-cov-$clang_version" report "${objects[@]:1}" -instr-profile="$cov/all.profdata" \
    quillmere/src wavelet/src
fi
exit $status
