# bvu_version_info(TARGET DESCRIPTION): on Windows, gives the program TARGET its file properties
# (a VERSIONINFO resource, app/resources/version_info.rc) with the project's version.
function(bvu_version_info target description)
  if(NOT WIN32)
    return()
  endif()
  math(EXPR _minor "${PROJECT_VERSION_MINOR}")  # "07" is 7, not an octal number
  set(_dir ${CMAKE_BINARY_DIR}/version_info/${target})
  file(CONFIGURE OUTPUT ${_dir}/version_info.h CONTENT
"// Made by cmake/VersionInfo.cmake for ${target}.
#define BVU_VERSION_MAJOR ${PROJECT_VERSION_MAJOR}
#define BVU_VERSION_MINOR ${_minor}
#define BVU_VERSION_TEXT \"${PROJECT_VERSION}\"
#define BVU_PROGRAM_NAME \"${target}\"
#define BVU_FILE_DESCRIPTION \"${description}\"
")
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/app/resources/version_info.rc)
  target_include_directories(${target} PRIVATE ${_dir})
endfunction()
