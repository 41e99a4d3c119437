# Platform-dependent pieces come in two halves, NAME_win32.cpp and
# NAME_posix.cpp, behind one header; this adds the half the build's platform
# needs for each NAME.
function(tessolo_platform_sources target)
  if(WIN32)
    set(half _win32.cpp)
  else()
    set(half _posix.cpp)
  endif()
  foreach(name IN LISTS ARGN)
    target_sources(${target} PRIVATE ${name}${half})
  endforeach()
endfunction()
