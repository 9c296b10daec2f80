# Cross-compiling for 32-bit Windows, the shipped control.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TOVRAL_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
