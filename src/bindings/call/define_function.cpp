#include "bindings/call/define_function.hpp"

namespace veltrano::bindings::detail {

std::string text_signature(std::span<const std::string_view> names,
                           std::span<const char* const> defaults) {
  std::string text = "(";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      text += ", ";
    }
    text.append(names[i]);
    if (defaults[i] != nullptr) {
      text.append("=").append(defaults[i]);
    }
  }
  text += ")";
  return text;
}

}  // namespace veltrano::bindings::detail
