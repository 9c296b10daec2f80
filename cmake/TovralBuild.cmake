# Compiler and linker settings shared by every target of the project.

# Interface target carrying the project's warnings, defines and static runtime.
add_library(tovral_platform INTERFACE)
# Optimised for size outside Debug builds (after the build type's -O2, so it
# wins): every customer downloads the control, and -O2's inlining made its code
# twice as large.
target_compile_options(tovral_platform INTERFACE
  -Wall -Wextra -Werror
  $<$<COMPILE_LANGUAGE:CXX>:-Wno-missing-field-initializers>
  $<$<NOT:$<CONFIG:Debug>>:-Os>)
target_compile_definitions(tovral_platform INTERFACE
  UNICODE _UNICODE NOMINMAX
  _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0800
  $<$<CONFIG:Debug>:TOVRAL_DEBUG>)
# Debugging information is a quarter of each file's compile time; the build
# that only runs the tests (build-x64/, see CMakePresets.json) goes without.
option(TOVRAL_DEBUG_INFO "Debugging information in the objects (Debug and RelWithDebInfo)" ON)
if(NOT TOVRAL_DEBUG_INFO)
  target_compile_options(tovral_platform INTERFACE $<$<COMPILE_LANGUAGE:C,CXX>:-g0>)
endif()
# Only system DLLs may be imported: the C and C++ runtimes go in statically.
target_link_options(tovral_platform INTERFACE -static -static-libgcc -static-libstdc++)

# Windows libraries the control uses (all of them system DLLs).
set(TOVRAL_SYSTEM_LIBS
  ole32 oleaut32 uuid shell32 shlwapi advapi32 user32 gdi32 kernel32
  version wininet winmm)

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

find_program(TOVRAL_WIDL widl REQUIRED)
find_program(TOVRAL_PYTHON python3 REQUIRED)
set(TOVRAL_WINE_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "System IDL files (libwine-dev)")
set(TOVRAL_STDOLE_DIR /usr/lib/i386-linux-gnu/wine/i386-windows CACHE PATH "Folder holding stdole2.tlb")
