# One precompiled copy of cmake/precompiled.h, reused by every target built
# with the project's settings (tovral_platform), product and tools alike. The
# test programs keep their own (tests/CMakeLists.txt), with GoogleTest in it.
# A file whose options differ from the project's (another optimisation level)
# says SKIP_PRECOMPILE_HEADERS: GCC refuses a copy made with other settings,
# and -Winvalid-pch with -Werror makes that a build error, never a silent
# fall-back.
add_library(tovral_precompiled STATIC
  ${CMAKE_CURRENT_LIST_DIR}/precompiled_anchor.cpp ${CMAKE_CURRENT_LIST_DIR}/precompiled_anchor.c)
target_link_libraries(tovral_precompiled PRIVATE tovral_platform)
target_precompile_headers(tovral_precompiled PRIVATE ${CMAKE_CURRENT_LIST_DIR}/precompiled.h)

# Called once every target is defined, with the targets to give the copy.
function(tovral_reuse_precompiled_headers)
  foreach(target IN LISTS ARGN)
    get_target_property(type ${target} TYPE)
    get_target_property(own ${target} PRECOMPILE_HEADERS)
    get_target_property(reused ${target} PRECOMPILE_HEADERS_REUSE_FROM)
    # A target with headers of its own (this copy's, the test programs') keeps them.
    if(NOT type MATCHES "^(STATIC|SHARED|MODULE|OBJECT)_LIBRARY$|^EXECUTABLE$" OR own OR reused)
      continue()
    endif()
    target_precompile_headers(${target} REUSE_FROM tovral_precompiled)
  endforeach()
endfunction()
