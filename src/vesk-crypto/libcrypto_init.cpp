#include "vesk-crypto/libcrypto_init.hpp"

#include <openssl/crypto.h>

namespace vesk {

void init_libcrypto_for_life() noexcept {
  // Once per process, so that hot paths may call it. A failure here shows at the first real call,
  // which reports it through the error queue.
  static const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  (void)initialised;
}

}  // namespace vesk
