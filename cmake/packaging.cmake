# The release: one ZIP that a player unzips into the game's folder.
#   cmake --build --preset win32 --target package  ->  tessolo-<version>-win32.zip
# It holds the tool and gfxpak.exe side by side, the read-me, and the
# scripts that undo imports, placed where they work: in data\.
if(NOT WIN32)
  return()
endif()

install(TARGETS tessolo gfxpak RUNTIME DESTINATION .)

# Windows' own text viewers want CRLF line ends; the repository keeps LF.
file(READ ${PROJECT_SOURCE_DIR}/packaging/README.txt tessolo_readme)
string(REPLACE "\n" "\r\n" tessolo_readme "${tessolo_readme}")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/README.txt "${tessolo_readme}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/README.txt)
install(FILES ${PROJECT_BINARY_DIR}/packaging/README.txt DESTINATION .)

install(FILES ${PROJECT_SOURCE_DIR}/tools/gfxpak/restore-original-archives.cmd
  ${PROJECT_SOURCE_DIR}/tools/gfxpak/take-out-stadiums.cmd DESTINATION data)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(tessolo_platform win64)
else()
  set(tessolo_platform win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tessolo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME tessolo-${PROJECT_VERSION}-${tessolo_platform})
# The files sit at the top of the ZIP, so unzipping into the game's folder
# puts tessolo.exe beside the data folder.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
# Symbols are of no use to a player, and the programs shrink by a third.
set(CPACK_STRIP_FILES ON)
include(CPack)
