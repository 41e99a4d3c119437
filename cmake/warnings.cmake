# Project-wide warning and sanitizer flags, applied to our own targets only
# (googletest is built without them).
function(tessolo_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion)
  if(TESSOLO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(TESSOLO_SANITIZE AND NOT WIN32)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()
