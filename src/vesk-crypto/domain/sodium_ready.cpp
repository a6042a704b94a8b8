#include "vesk-crypto/domain/sodium_ready.hpp"

#include <sodium.h>

namespace vesk {

bool sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

}  // namespace vesk
