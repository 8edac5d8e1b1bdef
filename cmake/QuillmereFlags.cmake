# Flags shared by every target of the project, applied through an interface
# library so that third-party code pulled in later is not affected.
add_library(quillmere_flags INTERFACE)

# Bytes of a container must not depend on the compiler's choice to fuse a*b+c:
# contraction changes f32 rounding, so it is switched off everywhere.
target_compile_options(quillmere_flags INTERFACE -ffp-contract=off)

target_compile_options(quillmere_flags INTERFACE -Wall -Wextra)
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

# Only PyInit_quillmere leaves the extension; everything else is hidden.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
