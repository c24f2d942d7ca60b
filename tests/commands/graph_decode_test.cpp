// Graph decoding: sequences built like UTF-8 carry each character in an
// encoded form and decode to bytes of the configured code page; the output
// code map.
#include "GraphEncoder.h"
#include "commands/PluginTestSupport.h"
#include "listener/TestAccess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using poshark_test::AppendGraphSequence;
using poshark_test::GraphEncode;
using poshark_test::GraphValue;
using Bytes = std::vector<unsigned char>;

namespace {

class GraphDecodeTest : public ::testing::Test {
 protected:
  Bytes Decode(const Bytes& data) { return RCPosHarkTestAccess::DecodeGraph(*listener_, data); }

  poshark_test::WorkFolder work_;
  poshark_test::ScopedEnv page_{"POSHARK_CODEPAGE", "windows-1252"};
  std::unique_ptr<RCPosHark> listener_ = std::make_unique<RCPosHark>(1);
};

TEST_F(GraphDecodeTest, DecodesSequencesToTheCodePage) {
  // v = 0x100000 | ((u'A' ^ 1) << 4): the low 16 bits of w would be 'A'.
  Bytes above16;
  AppendGraphSequence(above16, 0x100000u | ((static_cast<uint32_t>('A') ^ 1u) << 4));
  Bytes mixed;  // every low part, so every sequence length
  for (unsigned k = 0; k < 16; ++k)
    AppendGraphSequence(mixed, GraphValue(u"T\u00e9\u20ac"[k % 3], k));
  const struct {
    const char* page;
    Bytes in, out;
  } cases[] = {
      {"windows-1252", {0xD0, 0x80}, {'A'}},  // value 0x400
      {"windows-1252", {0x41}, {0x06}},       // plain ASCII is not passed through
      {"windows-1252", {0x10}, {0x00}},       // character 0 gives one NUL byte
      // Malformed sequences never stop decoding: a lead byte without its
      // continuation, then the next byte is read as a lead; a stray
      // continuation byte leads a two-byte sequence.
      {"windows-1252", {0xE0, 0x41}, {0x06}},
      {"windows-1252", {0xF0, 0x80, 0xD0, 0x80}, {'A'}},
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
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.page << " " << ::testing::PrintToString(c.in));
    poshark_test::ScopedEnv page("POSHARK_CODEPAGE", c.page);
    EXPECT_EQ(Decode(c.in), c.out);
  }
  unsigned char seq[4] = {0xD0, 0x80, 0, 0};  // in place
  EXPECT_EQ(RCPosHarkTestAccess::DecodeWChar(*listener_, seq), 1);
  EXPECT_EQ(seq[0], 'A');
}

TEST_F(GraphDecodeTest, OutputTwiceTheInputNeverOverrunsTheGraphBuffer) {
  poshark_test::ScopedEnv page("POSHARK_CODEPAGE", "windows-936");
  // The one-byte sequence 0x7F carries U+8007, a double-byte character.
  EXPECT_EQ(Decode({0x7F}).size(), 2u);
  Bytes out = Decode(Bytes(40000, 0x7F));
  EXPECT_LE(out.size(), 50001u);
  EXPECT_GE(out.size(), 50000u);
}

TEST_F(GraphDecodeTest, CodeMapKeepsItsOwnTableAndStartsAsIdentity) {
  RCPosHark& l = *listener_;
  EXPECT_TRUE(l.EnableCodeMap(true, nullptr));  // before any table: changes nothing
  for (int b : {0x00, 0x41, 0xFF})
    EXPECT_EQ(RCPosHarkTestAccess::MapByte(l, static_cast<unsigned char>(b)), b);
  unsigned char table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(255 - i);
  EXPECT_TRUE(l.EnableCodeMap(true, table));
  EXPECT_EQ(RCPosHarkTestAccess::MapByte(l, 0x41), 0xBE);
  EXPECT_TRUE(l.EnableCodeMap(false, nullptr));
  EXPECT_EQ(RCPosHarkTestAccess::MapByte(l, 0x41), 0x41);  // off: bytes pass
  table[0x41] = 'x';                                       // the listener keeps its own copy
  EXPECT_TRUE(l.EnableCodeMap(true, nullptr));
  EXPECT_EQ(RCPosHarkTestAccess::MapByte(l, 0x41), 0xBE);
}

}  // namespace
