// The fixed-size byte values of the crypto layer: salt, nonce, tag, key, and a wiping buffer.
// Plain values; thread-compatible (immutable use from several threads is fine).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/secure_wipe.hpp"

namespace vesk {

inline constexpr std::size_t kSaltSize = 32;
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kAuthTagSize = 16;

using SaltBytes = std::array<std::uint8_t, kSaltSize>;
using NonceBytes = std::array<std::uint8_t, kNonceSize>;
using AuthTagBytes = std::array<std::uint8_t, kAuthTagSize>;

// A fixed array that overwrites itself with zeros whenever it is destroyed or moved from.
template <std::size_t N>
class SecretArray {
 public:
  SecretArray() noexcept : bytes_{} {}
  explicit SecretArray(std::span<const std::uint8_t, N> from) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
      bytes_[i] = from[i];
    }
  }
  SecretArray(const SecretArray& other) noexcept : bytes_(other.bytes_) {}
  SecretArray(SecretArray&& other) noexcept : bytes_(other.bytes_) { other.wipe(); }
  SecretArray& operator=(const SecretArray& other) noexcept {
    bytes_ = other.bytes_;
    return *this;
  }
  SecretArray& operator=(SecretArray&& other) noexcept {
    if (this != &other) {
      bytes_ = other.bytes_;
      other.wipe();
    }
    return *this;
  }
  ~SecretArray() { wipe(); }

  void wipe() noexcept { veltrano::secure_wipe(bytes_.data(), N); }
  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  static constexpr std::size_t size() noexcept { return N; }
  std::span<const std::uint8_t, N> span() const noexcept {
    return std::span<const std::uint8_t, N>(bytes_);
  }
  std::span<std::uint8_t, N> mutable_span() noexcept { return std::span<std::uint8_t, N>(bytes_); }

 private:
  std::array<std::uint8_t, N> bytes_;
};

using KeyBytes = SecretArray<kKeySize>;

// A growable byte buffer that is wiped before its storage is released (passphrase copies,
// working buffers that may hold plaintext).
class SecretBuffer {
 public:
  SecretBuffer() = default;
  explicit SecretBuffer(std::size_t size) : bytes_(size) {}
  explicit SecretBuffer(std::span<const std::uint8_t> from) : bytes_(from.begin(), from.end()) {}
  SecretBuffer(const SecretBuffer&) = delete;
  SecretBuffer& operator=(const SecretBuffer&) = delete;
  SecretBuffer(SecretBuffer&& other) noexcept : bytes_(std::move(other.bytes_)) {
    other.bytes_.clear();
  }
  SecretBuffer& operator=(SecretBuffer&& other) noexcept {
    if (this != &other) {
      wipe();
      bytes_ = std::move(other.bytes_);
      other.bytes_.clear();
    }
    return *this;
  }
  ~SecretBuffer() { wipe(); }

  void wipe() noexcept { veltrano::secure_wipe(bytes_.data(), bytes_.size()); }
  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  std::size_t size() const noexcept { return bytes_.size(); }
  bool empty() const noexcept { return bytes_.empty(); }
  std::span<const std::uint8_t> span() const noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace vesk
