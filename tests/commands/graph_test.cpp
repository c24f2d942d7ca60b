// Graph-mode streams, made by the test encoder from the sender's rule, decode
// to bytes of the configured code page.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/GraphEncoder.h"
#include "commands/PluginTestSupport.h"
#include "listener/RCLineQueue.h"
#include "listener/TestAccess.h"
#include "support/EnvGuard.h"

using poshark::testing::EnvGuard;
using namespace poshark_test;

namespace {

TEST(GraphDecode, DecodesSequencesToTheCodePageWithinTheGraphBuffer) {
  cmdset_test::TempHome home;
  RCPosHark listener(1);
  Bytes mixed;  // every low part, so every sequence length
  for (unsigned k = 0; k < 16; ++k)
    AppendGraphSequence(mixed, GraphValue(u"T\u00e9\u20ac"[k % 3], k));
  Bytes above16;  // the low 16 bits of w would be 'A'
  AppendGraphSequence(above16, 0x100000u | ((uint32_t{'A'} ^ 1u) << 4));
  const std::tuple<const char*, Bytes, Bytes> cases[] = {
      // page, input, output
      {"windows-1252", {0xD0, 0x80}, {'A'}},  // value 0x400
      {"windows-1252", {0x41}, {0x06}},       // plain ASCII is not passed through
      {"windows-1252", {0x10}, {0x00}},       // character 0 gives one NUL byte
      // Malformed sequences never stop decoding: a lead byte without its
      // continuation, then the next byte is read as a lead; a stray
      // continuation byte leads a two-byte sequence.
      {"windows-1252", {0xE0, 0x41}, {0x06}},
      {"windows-1252", {0x80, 0x80}, {0x01}},
      {"windows-1252",
       mixed,
       {'T', 0xE9, 0x80, 'T', 0xE9, 0x80, 'T', 0xE9, 0x80, 'T', 0xE9, 0x80, 'T', 0xE9, 0x80, 'T'}},
      {"windows-1252",
       GraphEncode(u"\u4e2d"),
       {'?'}},  // missing in the page: its default character
      // Values above 16 bits are not taken as unrelated characters.
      {"windows-1252", above16, {'?'}},
      {"UTF-8", above16, {0xF0, 0x90, 0x81, 0x81}},  // U+10041 itself
      // GBK: U+4E2D is D6 D0, U+6587 is CE C4.
      {"windows-936", GraphEncode(u"\u4e2d\u6587 A1"), {0xD6, 0xD0, 0xCE, 0xC4, ' ', 'A', '1'}},
  };
  for (const auto& [name, in, out] : cases) {
    SCOPED_TRACE(::testing::Message() << name << " " << ::testing::PrintToString(in));
    EnvGuard page("POSHARK_CODEPAGE", name);
    EXPECT_EQ(RCPosHarkTestAccess::DecodeGraph(listener, in), out);
  }
  // The one-byte sequence 0x7F carries U+8007, a double-byte character:
  // output twice the input is cut at the graph buffer, never past it.
  EnvGuard page("POSHARK_CODEPAGE", "windows-936");
  EXPECT_EQ(RCPosHarkTestAccess::DecodeGraph(listener, {0x7F}).size(), 2u);
  size_t n = RCPosHarkTestAccess::DecodeGraph(listener, Bytes(40000, 0x7F)).size();
  EXPECT_TRUE(n == 50000 || n == 50001) << n;
}

}  // namespace
