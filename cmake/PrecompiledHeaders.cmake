# The headers that most files include (the standard library's, Asio's and,
# in the tests, GoogleTest's) are compiled once per build folder and kind of
# target, and every target of that kind reuses them: a build from scratch
# then takes about an eighth less compiler time with g++, and a quarter less
# with clang.
#
# A precompiled header is only valid for files compiled with the same flags
# and the same definitions of the macros it reads, so there is one per kind,
# each made by a target of its own with the flags of its kind: libraries
# (position-independent code) and tests (position-independent executables,
# with the tests' own optimisation and definitions). korvel_asio links
# Boost::system for every target, so that all of them see the same Boost
# definitions. The leaves (no Boost) and korvel_asio keep their own headers,
# and so do the programs: a few files each, which gain no more than
# compiling the headers once for them would cost.
#
# The precompiled headers are seen by every file of a target, named or not:
# configure a folder with -DTLKORVEL_PCH=OFF to check that each file
# includes what it uses. The Windows and fuzz builds have no tests and few
# files per kind, where compiling the headers first costs what it saves:
# they leave it off.
set(korvel_pch_default ON)
if(WIN32 OR TLKORVEL_FUZZ)
  set(korvel_pch_default OFF)
endif()
option(TLKORVEL_PCH "Compile the common headers once per build folder" ${korvel_pch_default})

set(KORVEL_COMMON_HEADERS
  <algorithm> <array> <atomic> <chrono> <cstddef> <cstdint> <cstring> <deque>
  <filesystem> <fstream> <functional> <iostream> <map> <memory> <mutex>
  <optional> <set> <sstream> <stdexcept> <string> <string_view>
  <system_error> <thread> <utility> <vector>
  <boost/asio/error.hpp> <boost/asio/io_context.hpp> <boost/asio/ip/tcp.hpp>
  <boost/asio/post.hpp> <boost/asio/steady_timer.hpp> <boost/asio/write.hpp>
  <boost/system/error_code.hpp>)
set(KORVEL_TEST_HEADERS ${KORVEL_COMMON_HEADERS} <condition_variable> <regex> <gtest/gtest.h>)

# Makes the target that compiles the headers for <kind>, library or test,
# created where the targets of that kind are, so that it has their flags.
# Extra arguments are libraries it links, for their flags.
function(korvel_add_header_maker kind)
  if(NOT TLKORVEL_PCH)
    return()
  endif()
  set(maker korvel_headers_${kind})
  if(kind STREQUAL "library")
    add_library(${maker} STATIC EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/cmake/pch/Empty.cpp)
    set(headers ${KORVEL_COMMON_HEADERS})
  else() # a test, whose main comes with the libraries it links
    add_executable(${maker} EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/cmake/pch/Empty.cpp)
    set(headers ${KORVEL_TEST_HEADERS})
  endif()
  target_link_libraries(${maker} PRIVATE ${ARGN})
  target_precompile_headers(${maker} PRIVATE ${headers})
endfunction()

# Every library and test that compiles against Asio's headers reuses the
# precompiled headers of its kind (a test is an executable that links
# korvel_test_support). korvel_test_support itself would be a kind of its own
# (a library with the tests' flags) for one file: it reads the headers
# itself.
function(korvel_reuse_precompiled_headers)
  if(NOT TLKORVEL_PCH)
    return()
  endif()
  korvel_targets_under(${PROJECT_SOURCE_DIR} targets)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    get_target_property(libraries ${target} LINK_LIBRARIES)
    if(NOT "korvel_asio" IN_LIST libraries OR target MATCHES "^korvel_headers_|^korvel_test_support$")
      continue()
    endif()
    if(type STREQUAL "EXECUTABLE" AND "korvel_test_support" IN_LIST libraries)
      target_precompile_headers(${target} REUSE_FROM korvel_headers_test)
    elseif(type STREQUAL "STATIC_LIBRARY")
      target_precompile_headers(${target} REUSE_FROM korvel_headers_library)
    endif()
  endforeach()
endfunction()

function(korvel_targets_under folder result)
  get_property(found DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subfolders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
  foreach(subfolder ${subfolders})
    korvel_targets_under(${subfolder} below)
    list(APPEND found ${below})
  endforeach()
  set(${result} ${found} PARENT_SCOPE)
endfunction()
