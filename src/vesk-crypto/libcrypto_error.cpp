#include "vesk-crypto/libcrypto_error.hpp"

#include <openssl/err.h>

namespace vesk {

std::string take_libcrypto_error(const char* if_none) {
  const unsigned long code = ERR_get_error();
  std::string text = if_none;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof(buffer));
    text = buffer;
  }
  ERR_clear_error();
  return text;
}

}  // namespace vesk
