# Cross-compiling for 64-bit Windows with the posix-thread mingw-w64 compilers.
# Used only to run the tests and tools under a 64-bit Wine where the machine
# runs no 32-bit code; the shipped control is the 32-bit build.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOVRAL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOVRAL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVRAL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVRAL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOVRAL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
