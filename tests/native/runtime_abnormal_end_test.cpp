// The texts of a task's abnormal end, as completion handles and derive_key failures show them.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "runtime/abnormal_end.hpp"
#include "runtime/quote_escaped.hpp"

namespace veltrano::runtime {
namespace {

TEST(AbnormalEndText, TheThreeForms) {
  EXPECT_EQ((AbnormalEnd{AbnormalEnd::Kind::Cancelled, 5, std::nullopt}.text()),
            "task 5 was cancelled");
  EXPECT_EQ((AbnormalEnd{AbnormalEnd::Kind::Panicked, 5, "boom"}.text()),
            "task 5 panicked with message \"boom\"");
  EXPECT_EQ((AbnormalEnd{AbnormalEnd::Kind::Panicked, 18446744073709551615u, std::nullopt}.text()),
            "task 18446744073709551615 panicked");
}

TEST(AbnormalEndText, MessageIsQuotedAndEscaped) {
  EXPECT_EQ(quote_escaped(""), "\"\"");
  EXPECT_EQ(quote_escaped("say \"hi\""), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(quote_escaped("C:\\dir\\"), "\"C:\\\\dir\\\\\"");
  EXPECT_EQ(quote_escaped("a\nb\tc\rd"), "\"a\\nb\\tc\\rd\"");
  EXPECT_EQ(quote_escaped(std::string("nul\0end", 7)), "\"nul\\0end\"");
  EXPECT_EQ(quote_escaped("\x1b[0m\x01\x7f"), "\"\\u{1b}[0m\\u{1}\\u{7f}\"");
  EXPECT_EQ(quote_escaped("\xc2\x85"), "\"\\u{85}\"");  // C1 control NEL
  EXPECT_EQ(quote_escaped("it's caf\xc3\xa9 \xe2\x82\xac"), "\"it's caf\xc3\xa9 \xe2\x82\xac\"");
  EXPECT_EQ(quote_escaped("bad\xff!"), "\"bad\xef\xbf\xbd!\"");          // malformed byte -> U+FFFD
  EXPECT_EQ(quote_escaped("\xe2\x82"), "\"\xef\xbf\xbd\xef\xbf\xbd\"");  // truncated sequence
}

}  // namespace
}  // namespace veltrano::runtime
