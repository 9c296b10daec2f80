# Cross-compiling for 64-bit Windows: used only to run the tests and tools
# under a 64-bit Wine where the machine runs no 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOVRAL_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
