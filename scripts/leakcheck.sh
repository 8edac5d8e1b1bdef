#!/usr/bin/env bash
# Memory checks the fuzzers do not make:
#  1. every C++ test program (unit tests and the fuzz-corpus replays) under
#     valgrind memcheck: no invalid access, no definite or indirect leak;
#  2. the Python module's leak loop at 100,000+ calls (RSS and interpreter
#     blocks must stay flat);
#  3. the whole Python test suite against an extension built with
#     ASan + UBSan (g++), the sanitizer runtime preloaded into CPython.
# Steps can be picked with QUILLMERE_LEAKCHECK_STEPS="valgrind pyloop pyasan".
set -euo pipefail
cd "$(dirname "$0")/.."

steps=${QUILLMERE_LEAKCHECK_STEPS:-"valgrind pyloop pyasan"}
build=build-fuzz-replay   # the binaryDir of the preset "replay"

"$(dirname "$0")/ensure-apt-packages.sh" valgrind cmake ninja-build g++ zlib1g-dev libgtest-dev

status=0
has_step() { [[ " $steps " == *" $1 "* ]]; }

if has_step valgrind; then
  cmake --preset replay >/dev/null
  cmake --build --preset replay
  # valgrind cannot throw std::bad_alloc (it aborts the program instead),
  # so the one test that provokes a failed allocation runs only in the ASan
  # build (scripts/sanitize.sh).
  programs=("$build/quillmere/quillmere_tests"
            "$build/wavelet/wavelet_tests --gtest_filter=-Buffers.FailedAllocationIsAnErrorValue")
  for target in $("$(dirname "$0")/fuzz-targets.sh"); do
    programs+=("$build/fuzz/replay_$target fuzz/corpus/$target")
  done
  for program in "${programs[@]}"; do
    echo "== valgrind: $program"
    # shellcheck disable=SC2086 # program carries its arguments
    if valgrind -q --error-exitcode=99 --suppressions=fuzz/valgrind.supp \
        --leak-check=full --show-leak-kinds=definite,indirect \
        --errors-for-leak-kinds=definite,indirect $program >"$build/valgrind.log" 2>&1; then
      echo "   clean"
    else
      status=1
      grep -E '^==[0-9]+==' "$build/valgrind.log" | head -40
      tail -5 "$build/valgrind.log"
    fi
  done
fi

if has_step pyloop; then
  # The test turns the call count into rounds of its own table and prints
  # both.
  echo "== Python leak loop: at least 100,000 calls"
  QUILLMERE_LEAK_CALLS=100000 python3 -m pytest -q -s tests/test_module_leaks.py || status=1
fi

if has_step pyasan; then
  venv="$build/venv-asan"
  [[ -x "$venv/bin/python" ]] || python3 -m venv --system-site-packages "$venv"
  echo "== building the extension with ASan + UBSan into $venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps --force-reinstall . \
    -C cmake.define.QUILLMERE_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
    -C build-dir="$build/py-asan"
  # CPython itself is not instrumented, so its deliberate leaks at exit are
  # not ours to report; memory errors and UB in the extension still abort.
  # Deselected: tests that measure RSS (ASan's quarantine grows it by design;
  # step 2 covers flatness uninstrumented) and the test that provokes a failed
  # allocation (ASan's operator new aborts where libstdc++'s would throw).
  preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  echo "== Python suite under ASan + UBSan"
  LD_PRELOAD="$preload" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$venv/bin/python" -m pytest -q tests --ignore=tests/tools \
    --deselect tests/test_module_leaks.py::test_memory_stays_flat \
    --deselect tests/test_module_marshalling.py::test_samples_are_freed_with_the_last_view \
    --deselect tests/test_module_marshalling.py::test_allocation_failure_is_memory_error || status=1
fi

exit $status
