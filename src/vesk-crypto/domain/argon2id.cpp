#include "vesk-crypto/domain/argon2id.hpp"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#ifdef VELTRANO_ARGON2_SODIUM_CORE
// A C header without the C++ guard of libsodium's public ones.
extern "C" {
#include <sodium-argon2/argon2.h>
}

#include "vesk-crypto/domain/sodium_ready.hpp"
#else
#include <argon2.h>
#endif

namespace vesk {
namespace {

#ifndef VELTRANO_ARGON2_SODIUM_CORE

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

// Work memory for the block array. An anonymous mapping arrives zero-filled and page-aligned
// (more than the 64 bytes the blocks need). Aligning it to 2 MiB and asking for transparent huge
// pages cuts the TLB misses of Argon2's data-dependent reads: about a fifth of the run time at
// 64 MiB. A failure leaves *memory null, which is what libargon2 tests.
int allocate_blocks(std::uint8_t** memory, std::size_t bytes) {
  *memory = nullptr;
  const bool huge = bytes >= kHugePageSize;
  const std::size_t reserve = huge ? bytes + kHugePageSize : bytes;
  if (reserve < bytes) {
    return ARGON2_MEMORY_ALLOCATION_ERROR;
  }
  void* mapped = mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    return ARGON2_MEMORY_ALLOCATION_ERROR;
  }
  auto* start = static_cast<std::uint8_t*>(mapped);
  if (huge) {
    // Keep the 2 MiB-aligned part and return the slack on both sides. libargon2 asks for a whole
    // multiple of 4 KiB (every lane has 4 slices of equal length), so the tail starts on a page.
    const auto address = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned =
        (address + kHugePageSize - 1) & ~std::uintptr_t{kHugePageSize - 1};
    const std::size_t head = aligned - address;
    if (head != 0) {
      munmap(mapped, head);
    }
    munmap(reinterpret_cast<void*>(aligned + bytes), kHugePageSize - head);
    start = reinterpret_cast<std::uint8_t*>(aligned);
    madvise(start, bytes, MADV_HUGEPAGE);  // advisory: without huge pages it is only slower
  }
  *memory = start;
  return ARGON2_OK;
}

void free_blocks(std::uint8_t* memory, std::size_t bytes) {
  if (memory != nullptr) {
    munmap(memory, bytes);
  }
}

#endif  // !VELTRANO_ARGON2_SODIUM_CORE

std::string work_memory_text(std::uint32_t m_kib) {
  const std::string amount =
      m_kib % 1024 == 0 ? std::to_string(m_kib / 1024) + " MiB" : std::to_string(m_kib) + " KiB";
  return "could not allocate " + amount + " of work memory";
}

// libargon2's texts, in the lower-case wording this layer reports; libsodium's core reports the
// same codes, with no texts of its own.
std::string failure_text(int code, std::uint32_t m_kib) {
  switch (code) {
    case ARGON2_OUTPUT_TOO_SHORT:
      return "output is too short";
    case ARGON2_OUTPUT_TOO_LONG:
      return "output is too long";
    case ARGON2_PWD_TOO_LONG:
      return "password is too long";
    case ARGON2_SALT_TOO_SHORT:
      return "salt is too short";
    case ARGON2_SALT_TOO_LONG:
      return "salt is too long";
    case ARGON2_SECRET_TOO_LONG:
      return "secret is too long";
    case ARGON2_THREADS_TOO_FEW:
      return "not enough threads";
    case ARGON2_THREADS_TOO_MANY:
      return "too many threads";
    case ARGON2_TIME_TOO_SMALL:
      return "time cost is too small";
    case ARGON2_TIME_TOO_LARGE:
      return "time cost is too large";
    case ARGON2_MEMORY_TOO_LITTLE:
      return "memory cost is too small";
    case ARGON2_MEMORY_TOO_MUCH:
      return "memory cost is too large";
    case ARGON2_LANES_TOO_FEW:
      return "too few lanes";
    case ARGON2_LANES_TOO_MANY:
      return "too many lanes";
    case ARGON2_INCORRECT_TYPE:  // the type is fixed, so only the version can be wrong
      return "invalid version";
    case ARGON2_MEMORY_ALLOCATION_ERROR:
      return work_memory_text(m_kib);
    default:
      break;
  }
#ifdef VELTRANO_ARGON2_SODIUM_CORE
  // Only null pointers or a missing context give other codes, and this file passes neither.
  std::string text = "Argon2 failed with code " + std::to_string(code);
#else
  std::string text = argon2_error_message(code);
#endif
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

constexpr std::size_t kMaxLength = std::numeric_limits<std::uint32_t>::max();

}  // namespace

Result<void> argon2id_raw(std::span<const std::uint8_t> passphrase,
                          std::span<const std::uint8_t> salt, std::uint32_t m_kib, std::uint32_t t,
                          std::uint32_t lanes, std::span<std::uint8_t> out,
                          std::span<const std::uint8_t> secret, std::span<const std::uint8_t> ad) {
  // The context holds 32-bit lengths, so anything longer is refused here, in libargon2's order,
  // before a byte of it is read.
  if (out.size() < ARGON2_MIN_OUTLEN) {
    return CryptoError::key_derivation_failed("output is too short");
  }
  if (out.size() > kMaxLength) {
    return CryptoError::key_derivation_failed("output is too long");
  }
  if (passphrase.size() > kMaxLength) {
    return CryptoError::key_derivation_failed("password is too long");
  }
  if (salt.size() > kMaxLength) {
    return CryptoError::key_derivation_failed("salt is too long");
  }
  if (secret.size() > kMaxLength) {
    return CryptoError::key_derivation_failed("secret is too long");
  }
  if (ad.size() > kMaxLength) {
    return CryptoError::key_derivation_failed("associated data is too long");
  }

#ifdef VELTRANO_ARGON2_SODIUM_CORE
  // The core's kernels are picked by sodium_init; without it the portable one would run.
  if (!sodium_ready()) {
    return CryptoError::key_derivation_failed("libsodium could not be initialised");
  }
#endif
  // The core never writes through the input pointers unless asked to clear them (flags = 0).
  argon2_context context{};
  context.out = out.data();
  context.outlen = static_cast<std::uint32_t>(out.size());
  context.pwd = const_cast<std::uint8_t*>(passphrase.data());
  context.pwdlen = static_cast<std::uint32_t>(passphrase.size());
  context.salt = const_cast<std::uint8_t*>(salt.data());
  context.saltlen = static_cast<std::uint32_t>(salt.size());
  context.secret = const_cast<std::uint8_t*>(secret.data());
  context.secretlen = static_cast<std::uint32_t>(secret.size());
  context.ad = const_cast<std::uint8_t*>(ad.data());
  context.adlen = static_cast<std::uint32_t>(ad.size());
  context.t_cost = t;
  context.m_cost = m_kib;
  context.lanes = lanes;
  context.threads = 1;
  context.flags = ARGON2_DEFAULT_FLAGS;
#ifndef VELTRANO_ARGON2_SODIUM_CORE
  context.version = ARGON2_VERSION_13;  // libsodium's core computes version 0x13 only
  context.allocate_cbk = allocate_blocks;
  context.free_cbk = free_blocks;
#endif

  const int code = argon2_ctx(&context, Argon2_id);
  if (code != ARGON2_OK) {
    return CryptoError::key_derivation_failed(failure_text(code, m_kib));
  }
  return {};
}

}  // namespace vesk
