set(CMAKE_C_COMPILER ${TESSOLO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSOLO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSOLO_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TESSOLO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The test programs run under Wine, each build through the loader of its own
# word size: Debian's plain 'wine' starts the 32-bit loader whenever it is
# installed, even where the kernel runs no 32-bit programs, and a 64-bit
# program then fails too. WINELOADER is what Wine starts child processes
# with, so it names the same loader. Where the 32-bit loader is missing, the
# win32 programs are built and inspected but not run (scripts/test).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(tessolo_loader_names wine64)
else()
  set(tessolo_loader_names wine)
endif()
find_program(TESSOLO_WINE NAMES ${tessolo_loader_names} PATHS /usr/lib/wine NO_DEFAULT_PATH)
# Elsewhere than on Debian the loaders sit on the PATH (where a Wine built for
# both word sizes has the one loader 'wine'); on Debian the 'wine' there is
# the wrapper that guesses.
if(NOT EXISTS /usr/lib/wine)
  find_program(TESSOLO_WINE NAMES ${tessolo_loader_names} wine)
endif()
if(TESSOLO_WINE)
  set(TESSOLO_WINE_LOADER ${TESSOLO_WINE})
else()
  # Kept as the path it would have, so a test run says what is missing.
  list(GET tessolo_loader_names 0 tessolo_loader_name)
  set(TESSOLO_WINE_LOADER /usr/lib/wine/${tessolo_loader_name})
  message(STATUS "No Wine loader for ${CMAKE_SYSTEM_PROCESSOR} (${TESSOLO_WINE_LOADER}): this build's tests cannot run here")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR env WINELOADER=${TESSOLO_WINE_LOADER} ${TESSOLO_WINE_LOADER})
