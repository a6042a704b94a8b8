# The crypto libraries built from the Debian sources that packaging/pins.toml pins (`make deps`),
# linked in statically by every build that names their folder: the release wheel, the native tests,
# the sanitizer builds and the benchmarks, so that what is tested and measured is what ships.
# Defines veltrano_pinned_deps (headers, archives and link options) and veltrano_pinned_libcrypto.
#
# VELTRANO_DEPS_PREFIX holds include/ (openssl/, sodium.h, sodium/, sodium-argon2/) and lib/
# (libcrypto.a, libsodium.a), and nothing else: no other header of the build machine comes with it.

set(_prefix ${VELTRANO_DEPS_PREFIX})
foreach(_file include/openssl/evp.h include/openssl/configuration.h include/sodium.h
    include/sodium-argon2/argon2.h lib/libcrypto.a lib/libsodium.a)
  if(NOT EXISTS ${_prefix}/${_file})
    message(FATAL_ERROR "${_file} was not found in ${_prefix}: build the pinned libraries with `make deps`")
  endif()
endforeach()

add_library(veltrano_pinned_libcrypto STATIC IMPORTED GLOBAL)
set_target_properties(veltrano_pinned_libcrypto PROPERTIES IMPORTED_LOCATION ${_prefix}/lib/libcrypto.a)
target_include_directories(veltrano_pinned_libcrypto SYSTEM INTERFACE ${_prefix}/include)
target_link_libraries(veltrano_pinned_libcrypto INTERFACE Threads::Threads ${CMAKE_DL_LIBS})

# libsodium is linked as one object: a partial link of the members its entry points need, with
# every other global made local, so that its internal names (initialize, fill_segment, ...) cannot
# meet another library's. Its mmap calls, which map the Argon2 and scrypt work memory, are renamed
# to veltrano_sodium_mmap (sodium_work_memory.cpp), which maps large regions in huge pages.
find_program(VELTRANO_LD ld REQUIRED)
find_program(VELTRANO_OBJCOPY objcopy REQUIRED)
set(_entry_points sodium_init crypto_pwhash_scryptsalsa208sha256_ll argon2_ctx)
list(TRANSFORM _entry_points PREPEND "--undefined=" OUTPUT_VARIABLE _undefined)
list(TRANSFORM _entry_points PREPEND "--keep-global-symbol=" OUTPUT_VARIABLE _keep)
set(_sodium_object ${CMAKE_BINARY_DIR}/sodium_entry_points.o)
add_custom_command(
  OUTPUT ${_sodium_object}
  COMMAND ${VELTRANO_LD} -r ${_undefined} -o ${_sodium_object}.partial ${_prefix}/lib/libsodium.a
  COMMAND ${VELTRANO_OBJCOPY} ${_keep} --redefine-sym mmap=veltrano_sodium_mmap
          ${_sodium_object}.partial ${_sodium_object}
  DEPENDS ${_prefix}/lib/libsodium.a
  COMMENT "Partial link of libsodium with only its entry points global"
  VERBATIM)
add_custom_target(veltrano_sodium_object DEPENDS ${_sodium_object})
add_library(veltrano_sodium_work_memory OBJECT ${CMAKE_CURRENT_LIST_DIR}/sodium_work_memory.cpp)

add_library(veltrano_pinned_deps INTERFACE)
add_dependencies(veltrano_pinned_deps veltrano_sodium_object)
target_include_directories(veltrano_pinned_deps SYSTEM INTERFACE ${_prefix}/include)
target_link_libraries(veltrano_pinned_deps INTERFACE ${_sodium_object}
  $<TARGET_OBJECTS:veltrano_sodium_work_memory> veltrano_pinned_libcrypto)
# Argon2id through libsodium's own core (domain/argon2id.cpp): its kernels are picked at run time
# (AVX-512, AVX2, SSSE3), where libargon2 fixes one when it is compiled.
target_compile_definitions(veltrano_pinned_deps INTERFACE VELTRANO_ARGON2_SODIUM_CORE=1)
