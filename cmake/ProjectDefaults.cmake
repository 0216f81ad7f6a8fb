option(BVU_BUILD_TESTS "Build the test suites" ON)

# Warnings as errors for the project's own targets (not for third-party sources).
function(bvu_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  if(WIN32)
    target_compile_definitions(${target} PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  endif()
endfunction()

# A program of the project: lands in bin/, statically linked on Windows.
function(bvu_program target)
  bvu_target_defaults(${target})
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# bvu_headers(<target> [PUBLIC|PRIVATE|INTERFACE <header>...]...)
# A library's include interface. The source root is on no include path: a header is reachable as
# "<dir>/<name>.h" only through the folder build/include/<target>/<scope>/, which holds one
# forwarding header for each header named here. PUBLIC headers reach the target and whoever links
# it, PRIVATE ones the target alone (and the tests that link it, see tests/CMakeLists.txt). So a
# file that includes a header of a library its target does not link fails to compile.
function(bvu_headers target)
  cmake_parse_arguments(H "" "" "PUBLIC;PRIVATE;INTERFACE" ${ARGN})
  foreach(scope PUBLIC PRIVATE INTERFACE)
    if(NOT H_${scope})
      continue()
    endif()
    string(TOLOWER ${scope} folder)
    set(stage ${CMAKE_BINARY_DIR}/include/${target}/${folder})
    set(wanted "")
    foreach(header ${H_${scope}})
      get_filename_component(header ${header} ABSOLUTE)
      file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${header})
      # Written only when it changes, so that a new configuration rebuilds nothing.
      file(CONFIGURE OUTPUT ${stage}/${name} CONTENT "#include \"${header}\"\n" @ONLY)
      list(APPEND wanted ${stage}/${name})
    endforeach()
    # A header dropped from the list (renamed, or no longer public) must not stay reachable.
    file(GLOB_RECURSE stale LIST_DIRECTORIES false ${stage}/*)
    list(REMOVE_ITEM stale ${wanted})
    if(stale)
      file(REMOVE ${stale})
    endif()
    target_include_directories(${target} ${scope} ${stage})
    if(scope STREQUAL "PRIVATE")
      set_property(TARGET ${target} PROPERTY BVU_PRIVATE_HEADERS ${stage})
    endif()
  endforeach()
endfunction()
