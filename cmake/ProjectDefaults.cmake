option(BVU_BUILD_TESTS "Build the test suites" ON)

# Warnings as errors for the project's own targets (not for third-party sources).
function(bvu_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
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
