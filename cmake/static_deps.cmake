# Release builds: the crypto libraries linked in from the distribution's static archives, and the
# C++ runtime too, so that a module built with Zig's libc++ needs nothing but glibc at run time.
# Defines the interface library veltrano_static_deps (their headers, archives and link options).
# Each module keeps what it links in to itself with a version script.
#
# Only the libraries' own headers go on the include path, through folders of links: the
# distribution's include folders as a whole would shadow the target C library's headers when the
# compiler targets an older glibc than the build machine's.

set(VELTRANO_DEPS_INCLUDE_ROOTS /usr/include /usr/include/x86_64-linux-gnu
  CACHE STRING "Folders holding the crypto libraries' headers, searched in this order")
set(VELTRANO_DEPS_LIBRARY_DIR /usr/lib/x86_64-linux-gnu
  CACHE PATH "Folder holding libcrypto.a, libargon2.a and libsodium.a")

# libsodium is linked only while the crypto layer calls it.
file(GLOB_RECURSE _core_sources ${CMAKE_CURRENT_SOURCE_DIR}/src/vesk-crypto/*.cpp)
set(VELTRANO_USES_SODIUM OFF)
foreach(_source IN LISTS _core_sources)
  file(STRINGS ${_source} _sodium_includes REGEX "^#include <sodium")
  if(_sodium_includes)
    set(VELTRANO_USES_SODIUM ON)
  endif()
endforeach()

set(_headers openssl argon2.h)
set(_required_headers openssl/evp.h openssl/configuration.h argon2.h)
set(_archives libargon2.a libcrypto.a)
set(_packages "libssl-dev and libargon2-dev")
if(VELTRANO_USES_SODIUM)
  list(APPEND _headers sodium.h sodium)
  list(APPEND _required_headers sodium.h)
  list(APPEND _archives libsodium.a)
  set(_packages "libssl-dev, libargon2-dev and libsodium-dev")
endif()

# One folder of links per root, so that a header split across roots (OpenSSL keeps
# configuration.h in the multiarch folder) is still found.
set(_include_dirs "")
set(_index 0)
foreach(_root IN LISTS VELTRANO_DEPS_INCLUDE_ROOTS)
  set(_links ${CMAKE_BINARY_DIR}/deps-include/${_index})
  file(REMOVE_RECURSE ${_links})
  file(MAKE_DIRECTORY ${_links})
  foreach(_name IN LISTS _headers)
    if(EXISTS ${_root}/${_name})
      file(CREATE_LINK ${_root}/${_name} ${_links}/${_name} SYMBOLIC)
    endif()
  endforeach()
  list(APPEND _include_dirs ${_links})
  math(EXPR _index "${_index} + 1")
endforeach()

foreach(_name IN LISTS _required_headers)
  find_file(_found ${_name} PATHS ${_include_dirs} NO_DEFAULT_PATH NO_CACHE)
  if(NOT _found)
    message(FATAL_ERROR "${_name} was not found in ${VELTRANO_DEPS_INCLUDE_ROOTS}: install ${_packages}")
  endif()
endforeach()
foreach(_name IN LISTS _archives)
  if(NOT EXISTS ${VELTRANO_DEPS_LIBRARY_DIR}/${_name})
    message(FATAL_ERROR "${_name} was not found in ${VELTRANO_DEPS_LIBRARY_DIR}: install ${_packages}")
  endif()
endforeach()

add_library(veltrano_static_deps INTERFACE)
target_include_directories(veltrano_static_deps SYSTEM INTERFACE ${_include_dirs})

if(VELTRANO_USES_SODIUM)
  # libsodium.a carries its own Argon2 core under the same global names as libargon2.a
  # (initialize, fill_segment, ...), so the two cannot be linked side by side. A partial link of
  # the members the entry points need, with every other global made local, keeps them apart.
  find_program(VELTRANO_LD ld REQUIRED)
  find_program(VELTRANO_OBJCOPY objcopy REQUIRED)
  set(_entry_points sodium_init crypto_pwhash_scryptsalsa208sha256_ll)
  list(TRANSFORM _entry_points PREPEND "--undefined=" OUTPUT_VARIABLE _undefined)
  list(TRANSFORM _entry_points PREPEND "--keep-global-symbol=" OUTPUT_VARIABLE _keep)
  set(_sodium_object ${CMAKE_BINARY_DIR}/sodium_entry_points.o)
  add_custom_command(
    OUTPUT ${_sodium_object}
    COMMAND ${VELTRANO_LD} -r ${_undefined} -o ${_sodium_object}.partial
            ${VELTRANO_DEPS_LIBRARY_DIR}/libsodium.a
    COMMAND ${VELTRANO_OBJCOPY} ${_keep} ${_sodium_object}.partial ${_sodium_object}
    DEPENDS ${VELTRANO_DEPS_LIBRARY_DIR}/libsodium.a
    COMMENT "Partial link of libsodium with only its entry points global"
    VERBATIM)
  add_custom_target(veltrano_sodium_object DEPENDS ${_sodium_object})
  add_dependencies(veltrano_static_deps veltrano_sodium_object)
  target_link_libraries(veltrano_static_deps INTERFACE ${_sodium_object})
  list(REMOVE_ITEM _archives libsodium.a)
endif()

list(TRANSFORM _archives PREPEND ${VELTRANO_DEPS_LIBRARY_DIR}/)
target_link_libraries(veltrano_static_deps INTERFACE ${_archives} Threads::Threads ${CMAKE_DL_LIBS})
# The C++ runtime must unwind through the system's libgcc_s, as glibc does when it ends a thread.
# libc++ (Zig's) is linked in whole, its unwinder replaced by system_unwinder.cpp: as objects on the
# link line these definitions come before the unwinder archive, which is then left out. libstdc++
# (GCC's) is linked in with libgcc_s left a shared library.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <version>
#ifndef _LIBCPP_VERSION
#error not libc++
#endif
int main() {}" VELTRANO_LIBCXX)
if(VELTRANO_LIBCXX)
  add_library(veltrano_system_unwinder OBJECT ${CMAKE_CURRENT_LIST_DIR}/system_unwinder.cpp)
  target_link_libraries(veltrano_static_deps INTERFACE $<TARGET_OBJECTS:veltrano_system_unwinder>)
endif()
target_link_options(veltrano_static_deps INTERFACE -static-libstdc++)
