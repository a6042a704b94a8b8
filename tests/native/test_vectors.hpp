// Reading known-answer vector files in place from the shared test-data folder: lookup, JSON, hex.
// Plain functions and a move-only mapping type; thread-compatible.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#ifndef VELTRANO_TESTDATA_DIR
#define VELTRANO_TESTDATA_DIR ""
#endif

namespace test_vectors {

using Bytes = std::vector<std::uint8_t>;

inline std::filesystem::path testdata_path(std::string_view relative) {
  return std::filesystem::path(VELTRANO_TESTDATA_DIR) / relative;
}

// The parsed file, or nullopt when it is absent (the caller skips, naming the path).
inline std::optional<nlohmann::json> load_json(std::string_view relative) {
  std::ifstream in(testdata_path(relative));
  if (!in) {
    return std::nullopt;
  }
  return nlohmann::json::parse(in);
}

inline std::string missing_reason(std::string_view relative) {
  return "vector file " + testdata_path(relative).string() + " is absent";
}

// In a test body: binds `name` to the parsed vector file, or skips the test naming the file.
#define VECTORS_OR_SKIP(name, relative)                         \
  const auto name##_file = ::test_vectors::load_json(relative); \
  if (!name##_file) {                                           \
    GTEST_SKIP() << ::test_vectors::missing_reason(relative);   \
  }                                                             \
  const nlohmann::json& name = *name##_file

// Decodes lower- or upper-case hex; throws std::invalid_argument on anything else.
inline Bytes from_hex(std::string_view hex) {
  auto nibble = [hex](char c) -> std::uint8_t {
    if (c >= '0' && c <= '9') {
      return static_cast<std::uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
      return static_cast<std::uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
      return static_cast<std::uint8_t>(c - 'A' + 10);
    }
    throw std::invalid_argument("bad hex digit in \"" + std::string(hex) + "\"");
  };
  if (hex.size() % 2 != 0) {
    throw std::invalid_argument("odd-length hex \"" + std::string(hex) + "\"");
  }
  Bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  }
  return out;
}

inline std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xf]);
  }
  return out;
}

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// Address space that is reserved but neither readable nor writable, so that a span can claim a
// huge size without the memory existing: any access to it crashes the test instead of passing.
class InaccessibleRegion {
 public:
  explicit InaccessibleRegion(std::size_t size) : size_(size) {
    void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
  }
  InaccessibleRegion(const InaccessibleRegion&) = delete;
  InaccessibleRegion& operator=(const InaccessibleRegion&) = delete;
  ~InaccessibleRegion() {
    if (data_ != nullptr) {
      munmap(data_, size_);
    }
  }

  bool ok() const { return data_ != nullptr; }
  std::span<std::uint8_t> span() const { return {data_, size_}; }

 private:
  std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace test_vectors
