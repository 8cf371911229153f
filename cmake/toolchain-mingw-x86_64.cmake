# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64),
# for testing under 64-bit Wine on hosts that cannot run 32-bit x86 code.
set(KORVANE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
