#include "vesk-crypto/libcrypto_init.hpp"

#include <openssl/crypto.h>

namespace vesk {

void init_libcrypto_for_life() noexcept {
  // A failure here shows at the first real call, which reports it through the error queue.
  (void)OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}

}  // namespace vesk
