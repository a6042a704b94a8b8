// Initialising libcrypto without its exit-time cleanup.
// Thread-safe: libcrypto runs its initialisation once.
#pragma once

namespace vesk {

// Initialises libcrypto, unless something in the process did so first, without registering its
// cleanup at exit: threads that the interpreter abandons at exit may still be sealing or deriving
// while exit handlers run, and must not find the library torn down under them. It is also what
// reads the CPU's features when libcrypto is linked into the module (the archive's load-time hook
// does not run there). Call before the first other libcrypto call; later calls cost one check.
void init_libcrypto_for_life() noexcept;

}  // namespace vesk
