# What each library shows of its headers. A library's own sources include
# any header of its folder ("camera/NetworkLink.h"); every other target sees
# only the headers the library names as public. Both views are folders of
# symbolic links in the build tree, so the headers stay where they are and
# an edit is seen at once.
#
#   korvel_library_headers(<target> <folder> [PUBLIC_HEADERS <header>...])
#
# <folder> is the library's folder under src/; headers are named relative to
# it. An INTERFACE library gets the public view only.
function(korvel_library_headers target folder)
  cmake_parse_arguments(ARG "" "" "PUBLIC_HEADERS" ${ARGN})
  set(public_root ${CMAKE_BINARY_DIR}/include/public/${target})
  file(REMOVE_RECURSE ${public_root})
  foreach(header ${ARG_PUBLIC_HEADERS})
    get_filename_component(subfolder ${folder}/${header} DIRECTORY)
    file(MAKE_DIRECTORY ${public_root}/${subfolder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder}/${header}
         ${public_root}/${folder}/${header} SYMBOLIC)
  endforeach()

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${public_root})
    return()
  endif()
  set(private_root ${CMAKE_BINARY_DIR}/include/private/${target})
  file(MAKE_DIRECTORY ${private_root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${private_root}/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${public_root} PRIVATE ${private_root})
endfunction()

# The public headers of <library>, for a target that uses its header-only
# types without linking to its code.
function(korvel_use_headers_of target library)
  target_include_directories(${target} PUBLIC
    $<TARGET_PROPERTY:${library},INTERFACE_INCLUDE_DIRECTORIES>)
endfunction()
