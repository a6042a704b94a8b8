// quote_escaped: a text quoted for messages, with escapes, as the panic texts show a payload.
// A pure function.
#pragma once

#include <string>
#include <string_view>

namespace veltrano::runtime {

// `text` in double quotes, with backslash escapes for quotes, backslashes and control characters
// (\" \\ \n \r \t \0, others as \u{1b}); malformed UTF-8 shows as U+FFFD.
// Part of the panic texts callers match on (docs/design.md).
std::string quote_escaped(std::string_view text);

}  // namespace veltrano::runtime
