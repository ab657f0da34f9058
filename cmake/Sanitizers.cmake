# Whole-tree instrumentation for the sanitizer and fuzz builds (clang).
#
# RAVAVIZA_SANITIZE: every target built with AddressSanitizer and UndefinedBehaviorSanitizer; an
# undefined-behaviour report ends the process so ctest sees it as a failure.
# RAVAVIZA_FUZZ_INSTRUMENT: the same sanitizers plus libFuzzer's coverage instrumentation on every
# library, so the fuzzer is guided by the decoders' own branches and not only by the harness.

option(RAVAVIZA_SANITIZE "Build everything with ASan and UBSan (clang)" OFF)
option(RAVAVIZA_FUZZ_INSTRUMENT "Instrument every library for libFuzzer (clang)" OFF)

set(_ravaviza_san_flags "")
if(RAVAVIZA_SANITIZE OR RAVAVIZA_FUZZ_INSTRUMENT)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "RAVAVIZA_SANITIZE and RAVAVIZA_FUZZ_INSTRUMENT need clang")
  endif()
  list(APPEND _ravaviza_san_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined
    -fno-omit-frame-pointer)
endif()
if(_ravaviza_san_flags)
  add_compile_options(${_ravaviza_san_flags})
  add_link_options(${_ravaviza_san_flags})
endif()
if(RAVAVIZA_FUZZ_INSTRUMENT)
  # Compile-time only: libFuzzer itself is linked into the fuzz targets (ravaviza_fuzz).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
