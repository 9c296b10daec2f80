# The part of the mingw-w64 toolchains both targets share; the including file
# sets CMAKE_SYSTEM_PROCESSOR and TOVRAL_MINGW_PREFIX first. Posix threads: the
# win32 thread model lacks std::mutex, which GoogleTest needs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TOVRAL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVRAL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVRAL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOVRAL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test executables run under Wine; the wrapper picks the prefix from the environment.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
