# Fuzz targets and their replayers.
#
#   tessolo_add_fuzz_target(NAME SOURCE CORPUS_DIR [LIBRARIES lib...])
#
# SOURCE defines LLVMFuzzerTestOneInput(const uint8_t*, size_t) and links the
# LIBRARIES under test. Every build gets NAME_replay, which feeds each file of
# CORPUS_DIR to that function once and is registered as a test, so saved
# crash inputs keep running as ordinary tests natively and under Wine. With
# -DTESSOLO_FUZZ=ON and clang (the "fuzz" preset) NAME itself is built as a
# libFuzzer program as well; run it as `NAME CORPUS_DIR` to grow the corpus,
# or with -runs=N / -max_total_time=S for a bounded run.
include_guard(GLOBAL)

option(TESSOLO_FUZZ "Build libFuzzer programs (clang only)" OFF)

if(TESSOLO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TESSOLO_FUZZ needs clang; use the fuzz preset")
  endif()
  # Coverage and sanitizers for every target, so the code under test is
  # instrumented wherever it is linked from.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

set(TESSOLO_FUZZ_REPLAY_MAIN "${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp")

function(tessolo_add_fuzz_target name source corpus_dir)
  cmake_parse_arguments(PARSE_ARGV 3 fuzz "" "" "LIBRARIES")
  get_filename_component(corpus "${corpus_dir}" ABSOLUTE)

  add_executable(${name}_replay ${source} "${TESSOLO_FUZZ_REPLAY_MAIN}")
  target_link_libraries(${name}_replay PRIVATE ${fuzz_LIBRARIES})
  tessolo_target_defaults(${name}_replay)
  add_test(NAME ${name}_replay COMMAND ${name}_replay "${corpus}")

  if(TESSOLO_FUZZ)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE ${fuzz_LIBRARIES})
    tessolo_target_defaults(${name})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  endif()
endfunction()
