// Initialising libcrypto without its exit-time cleanup.
// Thread-safe: libcrypto runs its initialisation once.
#pragma once

namespace vesk {

// Initialises libcrypto, unless something in the process did so first, without registering its
// cleanup at exit: threads that the interpreter abandons at exit may still be sealing or deriving
// while exit handlers run, and must not find the library torn down under them. Call before the
// first other libcrypto call.
void init_libcrypto_for_life() noexcept;

}  // namespace vesk
