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

set(TESSOLO_FUZZ_REPLAY_MAIN "${CMAKE_BINARY_DIR}/fuzz/replay_main.cpp")
file(WRITE "${TESSOLO_FUZZ_REPLAY_MAIN}.in" [=[
// Runs every file of the folders (or files) on the command line through the
// fuzz target once; a crash or abort fails the test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

static bool Replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return true;
}

int main(int argc, char** argv) {
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (!entry.is_regular_file()) continue;
        if (!Replay(entry.path())) {
          std::fprintf(stderr, "cannot read %s\n", entry.path().string().c_str());
          return 1;
        }
        ++count;
      }
    } else if (!Replay(arg)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    } else {
      ++count;
    }
  }
  if (count == 0) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
]=])
configure_file("${TESSOLO_FUZZ_REPLAY_MAIN}.in" "${TESSOLO_FUZZ_REPLAY_MAIN}" COPYONLY)

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
