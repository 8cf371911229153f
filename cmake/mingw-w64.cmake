# Cross build for Windows with Debian's mingw-w64, shared by the toolchain
# files, which name the target triplet and processor first.
set(CMAKE_SYSTEM_NAME Windows)

# The win32 thread model needs no libwinpthread, which a clean Windows lacks.
find_program(CMAKE_CXX_COMPILER NAMES ${KORVANE_MINGW_TRIPLET}-g++-win32 ${KORVANE_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KORVANE_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
