# Flags shared by every target of the project, applied through an interface
# library so that third-party code pulled in later is not affected.
add_library(quillmere_flags INTERFACE)

# Bytes of a container must not depend on the compiler's choice to fuse a*b+c:
# contraction changes f32 rounding, so it is switched off everywhere.
target_compile_options(quillmere_flags INTERFACE -ffp-contract=off)

target_compile_options(quillmere_flags INTERFACE -Wall -Wextra)

# The hot transform kernels and the codec's per-sample loops are compiled
# twice, baseline and AVX2, and the loader picks one per machine
# (wavelet/src/kernel_dispatch.hpp, quillmere/src/vector_clones.hpp);
# nothing else is built for more than the x86-64 baseline. This option drops the
# AVX2 clones and pins the baseline explicitly, so scripts/baseline-isa.sh
# can show on any machine that the baseline code gives the same bytes.
if(QUILLMERE_BASELINE_ISA)
  target_compile_definitions(quillmere_flags INTERFACE WAVELET_BASELINE_ISA)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    target_compile_options(quillmere_flags INTERFACE -march=x86-64 -mtune=generic)
  endif()
endif()
if(QUILLMERE_WERROR)
  target_compile_options(quillmere_flags INTERFACE -Werror)
endif()

if(QUILLMERE_SANITIZE)
  target_compile_options(quillmere_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(quillmere_flags INTERFACE -fsanitize=address,undefined)
endif()

# Coverage instrumentation for libFuzzer on every project target, so the
# fuzzer steers by the codec's branches too, not only the harness's. UBSan
# must not recover: a report that lets the run continue is never saved as a
# crash input.
if(QUILLMERE_FUZZ)
  target_compile_options(quillmere_flags INTERFACE
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer -g)
  target_link_options(quillmere_flags INTERFACE -fsanitize=address,undefined)
endif()

# Every target, static libraries included, compiles with hidden symbols; the
# shared objects (the two Python modules and the HDF5 plugin) then export
# only the entry points their version scripts name.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
