# What the Windows build takes instead of the Linux packages: Boost's headers
# from the build machine, tinyxml2 and libxcrypt compiled from their Debian
# source (scripts/fetch-debian-source.sh), the Windows system libraries, and one
# executable that needs nothing beside it.

set(TINYXML2_SOURCE_DIR "" CACHE PATH "Unpacked tinyxml2 source (scripts/fetch-debian-source.sh)")
if(NOT EXISTS "${TINYXML2_SOURCE_DIR}/tinyxml2.cpp")
  message(FATAL_ERROR "TINYXML2_SOURCE_DIR must hold tinyxml2.cpp: run scripts/fetch-debian-source.sh")
endif()
set(LIBXCRYPT_SOURCE_DIR "" CACHE PATH "Unpacked libxcrypt source (scripts/fetch-debian-source.sh)")
if(NOT EXISTS "${LIBXCRYPT_SOURCE_DIR}/lib/crypt.c")
  message(FATAL_ERROR "LIBXCRYPT_SOURCE_DIR must hold lib/crypt.c: run scripts/fetch-debian-source.sh")
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

# libxcrypt with the hashes a User's PasswordHash may hold, for the password
# checks (src/platform/PasswordCheck.cpp), as the Linux build's libcrypt. Its
# generated headers are made here, by its own scripts, as its configure
# would; the rest of configure's findings are cmake/libxcrypt-config.h.
find_program(TLKORVEL_PERL perl REQUIRED)
set(xcrypt ${LIBXCRYPT_SOURCE_DIR})
set(xcrypt_generated ${CMAKE_BINARY_DIR}/libxcrypt)
set(xcrypt_hashes yescrypt,bcrypt,bcrypt_a,bcrypt_y,sha512crypt)
file(MAKE_DIRECTORY ${xcrypt_generated})
configure_file(${PROJECT_SOURCE_DIR}/cmake/libxcrypt-config.h ${xcrypt_generated}/config.h COPYONLY)
foreach(step
    "crypt-hashes.h;gen-crypt-hashes-h;${xcrypt}/lib/hashes.conf;${xcrypt_hashes}"
    "crypt.h;gen-crypt-h;${xcrypt}/lib/crypt.h.in;${xcrypt_generated}/config.h;${xcrypt}/lib/hashes.conf;${xcrypt_hashes}"
    "crypt-symbol-vers.h;gen-crypt-symbol-vers-h;no;SYMVER_MIN=XCRYPT_2.0;SYMVER_FLOOR=XCRYPT_2.0;COMPAT_ABI=no;${xcrypt}/lib/libcrypt.map.in")
  list(POP_FRONT step output script)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${TLKORVEL_PERL}
      ${xcrypt}/build-aux/scripts/${script} ${step}
    OUTPUT_FILE ${xcrypt_generated}/${output} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "libxcrypt: ${script} failed")
  endif()
endforeach()
set(xcrypt_sources crypt.c crypt-yescrypt.c alg-yescrypt-common.c alg-yescrypt-opt.c alg-sha256.c
  alg-sha512.c crypt-bcrypt.c crypt-sha512.c crypt-gensalt-static.c crypt-static.c util-base64.c
  util-gensalt-sha.c util-get-random-bytes.c util-make-failure-token.c util-xbzero.c
  util-xstrcpy.c)
list(TRANSFORM xcrypt_sources PREPEND ${xcrypt}/lib/)
add_library(korvel_windows_crypt STATIC ${xcrypt_sources})
set_target_properties(korvel_windows_crypt PROPERTIES C_STANDARD 11 C_EXTENSIONS ON
  # Its files define the same internal macros each in its own way.
  UNITY_BUILD OFF)
target_compile_definitions(korvel_windows_crypt PRIVATE HAVE_CONFIG_H IN_LIBCRYPT)
target_include_directories(korvel_windows_crypt PRIVATE ${xcrypt}/lib PUBLIC ${xcrypt_generated})
target_compile_options(korvel_windows_crypt PRIVATE -w) # not our code
