# What the Windows build takes instead of the Linux packages: Boost's headers
# from the build machine, tinyxml2 compiled from its Debian source
# (scripts/fetch-tinyxml2.sh), the Windows system libraries, and one
# executable that needs nothing beside it.

set(TINYXML2_SOURCE_DIR "" CACHE PATH "Unpacked tinyxml2 source (scripts/fetch-tinyxml2.sh)")
if(NOT EXISTS "${TINYXML2_SOURCE_DIR}/tinyxml2.cpp")
  message(FATAL_ERROR "TINYXML2_SOURCE_DIR must hold tinyxml2.cpp: run scripts/fetch-tinyxml2.sh")
endif()

enable_language(RC)

# Windows 7 and later: delayed automatic start and the Asio services used.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# The C library's localtime_r (over localtime_s), as the log's time stamps use it.
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS)
# Static C and C++ runtimes and thread library.
add_link_options(-static)

# Boost.Asio is header-only. Its headers come from the build machine's
# /usr/include, reached through a folder holding only a link to its boost
# folder, so that no other Linux header can be picked up by mistake.
find_path(TLKORVEL_BOOST_HEADERS boost/asio.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
  NO_DEFAULT_PATH)
if(NOT TLKORVEL_BOOST_HEADERS)
  message(FATAL_ERROR "Boost headers not found in /usr/include (libboost-dev)")
endif()
set(boost_link_folder ${CMAKE_BINARY_DIR}/boost-headers)
file(MAKE_DIRECTORY ${boost_link_folder})
file(CREATE_LINK ${TLKORVEL_BOOST_HEADERS}/boost ${boost_link_folder}/boost SYMBOLIC)
add_library(Boost::boost INTERFACE IMPORTED GLOBAL)
set_target_properties(Boost::boost PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${boost_link_folder})
target_link_libraries(Boost::boost INTERFACE ws2_32 mswsock)
add_library(Boost::system ALIAS Boost::boost)

# tinyxml2 as the Linux build's pkg-config target is named.
add_library(korvel_tinyxml2 STATIC ${TINYXML2_SOURCE_DIR}/tinyxml2.cpp)
target_compile_options(korvel_tinyxml2 PRIVATE -w) # not our code
add_library(PkgConfig::TINYXML2 INTERFACE IMPORTED GLOBAL)
set_target_properties(PkgConfig::TINYXML2 PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${TINYXML2_SOURCE_DIR}
  INTERFACE_LINK_LIBRARIES korvel_tinyxml2)
