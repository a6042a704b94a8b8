#include "runtime/quote_escaped.hpp"

#include <cstdio>

#include "runtime/utf8.hpp"

namespace veltrano::runtime {

std::string quote_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t pos = 0; pos < text.size();) {
    // Malformed input shows as U+FFFD and consumes one byte, so the loop always makes progress.
    const std::optional<Utf8Sequence> sequence = decode_utf8(text, pos);
    const char32_t cp = sequence ? sequence->code_point : U'\uFFFD';
    pos += sequence ? sequence->length : 1;
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
          char buffer[16];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(cp));
          out += buffer;
        } else {
          append_utf8(out, cp);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace veltrano::runtime
