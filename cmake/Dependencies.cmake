find_package(Threads REQUIRED)

# Boost (header-only smart pointers). The cross build must not see /usr/include as a whole,
# so it gets a folder that holds only a link to Boost's headers.
if(CMAKE_CROSSCOMPILING)
  set(_bvu_boost_dir ${CMAKE_BINARY_DIR}/boost-include)
  file(MAKE_DIRECTORY ${_bvu_boost_dir})
  file(CREATE_LINK /usr/include/boost ${_bvu_boost_dir}/boost SYMBOLIC)
  add_library(bvu_boost INTERFACE)
  target_include_directories(bvu_boost SYSTEM INTERFACE ${_bvu_boost_dir})
else()
  find_path(BVU_BOOST_INCLUDE boost/shared_ptr.hpp REQUIRED)
  add_library(bvu_boost INTERFACE)
  target_include_directories(bvu_boost SYSTEM INTERFACE ${BVU_BOOST_INCLUDE})
endif()

# libusb-1.0: the programs' way to real devices on Linux (the Windows build uses WinUSB).
# umockdev serves the emulated device to libusb programs (`bvu-emulator serve`, the libusb suite).
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBUSB REQUIRED IMPORTED_TARGET libusb-1.0)
  if(BVU_WITH_EMULATOR)
    pkg_check_modules(UMOCKDEV REQUIRED IMPORTED_TARGET umockdev-1.0)
  endif()
endif()

# GoogleTest, built from Debian's sources with the build's own compiler and sanitizers.
if(BVU_BUILD_TESTS)
  set(BVU_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${BVU_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  include(GoogleTest)

  # The programs the suites run besides the test binaries. A missing one stops the configuration
  # here rather than leaving its suite out.
  if(CMAKE_CROSSCOMPILING)
    # The Windows binaries under Wine, the dialog on a virtual display, read back and answered.
    foreach(tool wine xvfb-run xdotool import)
      find_program(BVU_TOOL_${tool} ${tool} REQUIRED)
    endforeach()
  else()
    # tmux: the terminal front end in a real terminal.
    find_program(BVU_TMUX tmux REQUIRED)
  endif()
endif()

# nlohmann-json (header only): the emulator's state file.
add_library(bvu_json INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(_bvu_json_dir ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${_bvu_json_dir})
  file(CREATE_LINK /usr/include/nlohmann ${_bvu_json_dir}/nlohmann SYMBOLIC)
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

# The terminal front end of the dialog on POSIX (ncurses).
if(NOT WIN32)
  find_package(Curses REQUIRED)
endif()
