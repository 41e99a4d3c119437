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
# or with -runs=N / -max_total_time=S for a bounded run. That preset also
# registers NAME_run, a run of TESSOLO_FUZZ_SECONDS from the corpus, and builds
# every fuzz program and replayer (and nothing else) as the target fuzz_all;
# all of these tests carry the label "fuzz".
include_guard(GLOBAL)

option(TESSOLO_FUZZ "Build libFuzzer programs (clang only)" OFF)
set(TESSOLO_FUZZ_SECONDS 5 CACHE STRING "How long each fuzz target runs as a test in the fuzz preset")

if(TESSOLO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TESSOLO_FUZZ needs clang; use the fuzz preset")
  endif()
  # Coverage and sanitizers for every target, so the code under test is
  # instrumented wherever it is linked from. A sanitizer report ends the
  # program: one that only printed would pass every test.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
  add_custom_target(fuzz_all)
endif()

set(TESSOLO_FUZZ_REPLAY_MAIN "${PROJECT_SOURCE_DIR}/tests/fuzz/replay_main.cpp")

function(tessolo_add_fuzz_target name source corpus_dir)
  cmake_parse_arguments(PARSE_ARGV 3 fuzz "" "" "LIBRARIES")
  get_filename_component(corpus "${corpus_dir}" ABSOLUTE)

  add_executable(${name}_replay ${source} "${TESSOLO_FUZZ_REPLAY_MAIN}")
  target_link_libraries(${name}_replay PRIVATE ${fuzz_LIBRARIES})
  tessolo_target_defaults(${name}_replay)
  add_test(NAME ${name}_replay COMMAND ${name}_replay "${corpus}")
  set_tests_properties(${name}_replay PROPERTIES LABELS fuzz)

  if(TESSOLO_FUZZ)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE ${fuzz_LIBRARIES})
    tessolo_target_defaults(${name})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzz_all ${name} ${name}_replay)
    # New inputs go to a folder of the build, never into the committed
    # corpus; a crash leaves its input there too, named in the output.
    set(scratch "${CMAKE_CURRENT_BINARY_DIR}/${name}.found")
    file(MAKE_DIRECTORY "${scratch}")
    add_test(NAME ${name}_run
             COMMAND ${name} -max_total_time=${TESSOLO_FUZZ_SECONDS} -timeout=20 -rss_limit_mb=2048
                     -print_final_stats=1 -artifact_prefix=${scratch}/ "${scratch}" "${corpus}")
    set_tests_properties(${name}_run PROPERTIES LABELS fuzz TIMEOUT 120)
  endif()
endfunction()
