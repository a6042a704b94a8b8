// libsodium's one-time initialisation, shared by the derivations computed with it.
// Thread-safe: the first caller initialises, the others wait for it.
#pragma once

namespace vesk {

// Runs sodium_init once per process and tells whether it succeeded. sodium_init reads the CPU's
// features and picks libsodium's kernels by them (scrypt's SSE2 salsa20/8 core, Argon2's AVX-512,
// AVX2 or SSSE3 block function); before it, libsodium computes with its portable code.
bool sodium_ready();

}  // namespace vesk
