find_package(Threads REQUIRED)

# Boost (header-only smart pointers). The cross build must not see /usr/include as a whole,
# so it gets a folder that holds only a link to Boost's headers.
if(CMAKE_CROSSCOMPILING)
  set(_bvu_boost_dir ${CMAKE_BINARY_DIR}/boost-include)
  if(NOT EXISTS ${_bvu_boost_dir}/boost)
    file(MAKE_DIRECTORY ${_bvu_boost_dir})
    file(CREATE_LINK /usr/include/boost ${_bvu_boost_dir}/boost SYMBOLIC)
  endif()
  add_library(bvu_boost INTERFACE)
  target_include_directories(bvu_boost SYSTEM INTERFACE ${_bvu_boost_dir})
else()
  find_path(BVU_BOOST_INCLUDE boost/shared_ptr.hpp REQUIRED)
  add_library(bvu_boost INTERFACE)
  target_include_directories(bvu_boost SYSTEM INTERFACE ${BVU_BOOST_INCLUDE})
endif()

# libusb-1.0: only where the platform has it (not in the Windows cross build).
set(BVU_HAVE_LIBUSB OFF)
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBUSB IMPORTED_TARGET libusb-1.0)
  if(LIBUSB_FOUND)
    set(BVU_HAVE_LIBUSB ON)
  endif()
  pkg_check_modules(UMOCKDEV IMPORTED_TARGET umockdev-1.0)
endif()

# GoogleTest, built from Debian's sources with the build's own compiler and sanitizers.
if(BVU_BUILD_TESTS)
  set(BVU_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${BVU_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  include(GoogleTest)
endif()

# nlohmann-json (header only): the emulator's state file.
add_library(bvu_json INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(_bvu_json_dir ${CMAKE_BINARY_DIR}/json-include)
  if(NOT EXISTS ${_bvu_json_dir}/nlohmann)
    file(MAKE_DIRECTORY ${_bvu_json_dir})
    file(CREATE_LINK /usr/include/nlohmann ${_bvu_json_dir}/nlohmann SYMBOLIC)
  endif()
  target_include_directories(bvu_json SYSTEM INTERFACE ${_bvu_json_dir})
else()
  find_path(BVU_JSON_INCLUDE nlohmann/json.hpp REQUIRED)
  target_include_directories(bvu_json SYSTEM INTERFACE ${BVU_JSON_INCLUDE})
endif()

# Authenticated deciphering of the embedded firmware records: OpenSSL's libcrypto natively,
# CNG (bcrypt) on Windows. The build-time record tool always runs natively and uses OpenSSL.
add_library(bvu_crypto_backend INTERFACE)
if(WIN32)
  target_link_libraries(bvu_crypto_backend INTERFACE bcrypt)
else()
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  target_link_libraries(bvu_crypto_backend INTERFACE OpenSSL::Crypto)
endif()

# The terminal front end of the dialog on POSIX.
if(NOT WIN32)
  find_package(Curses)
endif()
