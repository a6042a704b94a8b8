# Release builds: the C++ runtime linked into the module statically, so that a module built with
# Zig's libc++ needs nothing but glibc at run time (the crypto libraries come from pinned_deps.cmake).
# Defines the interface library veltrano_static_deps (link options and objects).
# Each module keeps what it links in to itself with a version script.

add_library(veltrano_static_deps INTERFACE)
# The C++ runtime must unwind through the system's libgcc_s, as glibc does when it ends a thread.
# libc++ (Zig's) is linked in whole, its unwinder replaced by system_unwinder.cpp: as objects on the
# link line these definitions come before the unwinder archive, which is then left out. libstdc++
# (GCC's) is linked in with libgcc_s left a shared library.
# musl ends threads without unwinding them, and a musllinux module may need nothing but libc: there
# libc++ keeps its own unwinder, linked in with it.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("#include <version>
#ifndef _LIBCPP_VERSION
#error not libc++
#endif
int main() {}" VELTRANO_LIBCXX)
check_cxx_source_compiles("#include <cstdlib>
#ifndef __GLIBC__
#error not glibc
#endif
int main() {}" VELTRANO_GLIBC)
if(VELTRANO_LIBCXX AND VELTRANO_GLIBC)
  add_library(veltrano_system_unwinder OBJECT ${CMAKE_CURRENT_LIST_DIR}/system_unwinder.cpp)
  target_link_libraries(veltrano_static_deps INTERFACE $<TARGET_OBJECTS:veltrano_system_unwinder>)
endif()
target_link_options(veltrano_static_deps INTERFACE -static-libstdc++)
