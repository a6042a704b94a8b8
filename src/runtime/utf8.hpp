// UTF-8 decoding and encoding for the runtime's texts: the environment variable it checks and the
// panic payloads it quotes. Pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veltrano::runtime {

// One well-formed UTF-8 sequence: its code point and its length in bytes.
struct Utf8Sequence {
  char32_t code_point;
  std::size_t length;
};

// The sequence that starts at text[pos] (REQUIRES: pos < text.size()), or nullopt when it is not
// well-formed: a bad lead or continuation byte, cut short, overlong, a surrogate or past U+10FFFF.
std::optional<Utf8Sequence> decode_utf8(std::string_view text, std::size_t pos);

// Offset of the first byte that is not part of well-formed UTF-8, or npos.
std::size_t first_invalid_utf8(std::string_view text);

// Appends the encoding of cp (REQUIRES: a Unicode scalar value).
void append_utf8(std::string& out, char32_t cp);

}  // namespace veltrano::runtime
