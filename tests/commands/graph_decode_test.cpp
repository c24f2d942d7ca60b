// Graph decoding: sequences built like UTF-8 carry each character in an
// encoded form and decode to bytes of the configured code page; the output
// code map.
#include "GraphEncoder.h"
#include "PluginTestSupport.h"
#include "listener/TestAccess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST_F(GraphDecodeTest, DecodesSingleSequencesOfEachKind) {
  EXPECT_EQ(Decode({0xD0, 0x80}), Bytes({0x41}));  // value 0x400, character A
  EXPECT_EQ(Decode({0x41}), Bytes({0x06}));        // plain ASCII is not passed through
  EXPECT_EQ(Decode({0x10}), Bytes({0x00}));        // character 0 gives one NUL byte
}

TEST_F(GraphDecodeTest, MalformedSequencesNeverStopDecoding) {
  // A lead byte without its continuation: the next byte is read as a lead.
  EXPECT_EQ(Decode({0xE0, 0x41}), Bytes({0x06}));
  EXPECT_EQ(Decode({0xF0, 0x80, 0xD0, 0x80}), Bytes({0x41}));
  // A stray continuation byte leads a two-byte sequence: value 0, character 1.
  EXPECT_EQ(Decode({0x80, 0x80}), Bytes({0x01}));
}

TEST_F(GraphDecodeTest, SequenceSplitAcrossChunksDecodesInTheNextCall) {
  Bytes a;
  poshark_test::AppendGraphSequence(a, GraphValue(u'Z', 7));
  ASSERT_EQ(a.size(), 3u);  // a three-byte sequence
  EXPECT_TRUE(Decode({a[0], a[1]}).empty());
  EXPECT_EQ(RCPosHarkTestAccess::SeqLeft(*listener_), 1);
  EXPECT_EQ(Decode({a[2], 0xD0, 0x80}), Bytes({'Z', 'A'}));

  Bytes b;
  poshark_test::AppendGraphSequence(b, GraphValue(u'q', 2));
  poshark_test::AppendGraphSequence(b, GraphValue(u'r', 14));
  Bytes out;
  for (unsigned char byte : b) {  // one byte per call
    Bytes part = Decode({byte});
    out.insert(out.end(), part.begin(), part.end());
  }
  EXPECT_EQ(out, Bytes({'q', 'r'}));
}

TEST_F(GraphDecodeTest, EveryLowPartRoundTripsThroughTheEncoder) {
  // Values from 0x10 up to 0xFFFFF: every sequence length occurs.
  const std::u16string text = u"Total 12.50 EUR \u00e9\u20ac";
  for (unsigned k = 0; k < 16; ++k) {
    Bytes encoded;
    for (char16_t c : text) poshark_test::AppendGraphSequence(encoded, GraphValue(c, k));
    const Bytes expected = {'T', 'o', 't', 'a', 'l', ' ', '1', '2', '.', '5', '0',
                            ' ', 'E', 'U', 'R', ' ', 0xE9, 0x80};
    EXPECT_EQ(Decode(encoded), expected) << "k=" << k;
  }
}

TEST_F(GraphDecodeTest, CharacterTheCodePageLacksBecomesItsDefaultCharacter) {
  EXPECT_EQ(Decode(GraphEncode(u"\u4e2d")), Bytes({'?'}));
}

TEST_F(GraphDecodeTest, DoubleByteCodePageGivesTwoBytesPerCharacter) {
  poshark_test::ScopedEnv page("POSHARK_CODEPAGE", "windows-936");
  // GBK: U+4E2D is D6 D0, U+6587 is CE C4.
  EXPECT_EQ(Decode(GraphEncode(u"\u4e2d\u6587 A1")),
            Bytes({0xD6, 0xD0, 0xCE, 0xC4, ' ', 'A', '1'}));
  // The one-byte sequence 0x7F carries U+8007, a double-byte character:
  // output may be twice as long as the input.
  EXPECT_EQ(Decode({0x7F}).size(), 2u);
}

TEST_F(GraphDecodeTest, ValuesAboveSixteenBitsAreNotTakenAsUnrelatedCharacters) {
  // v = 0x100000 | ((u'A' ^ 1) << 4): the low 16 bits of w would be 'A'.
  const uint32_t v = 0x100000u | ((static_cast<uint32_t>('A') ^ 1u) << 4);
  Bytes seq;
  poshark_test::AppendGraphSequence(seq, v);
  ASSERT_EQ(seq.size(), 4u);
  EXPECT_EQ(Decode(seq), Bytes({'?'}));  // U+10041 is not in windows-1252
  poshark_test::ScopedEnv page("POSHARK_CODEPAGE", "UTF-8");
  EXPECT_EQ(Decode(seq), Bytes({0xF0, 0x90, 0x81, 0x81}));  // U+10041 itself
}

TEST_F(GraphDecodeTest, InputLongerThanTheGraphBufferNeverOverrunsIt) {
  poshark_test::ScopedEnv page("POSHARK_CODEPAGE", "windows-936");
  Bytes input(40000, 0x7F);  // each byte alone decodes to two bytes
  Bytes out = Decode(input);
  EXPECT_LE(out.size(), 50001u);
  EXPECT_GE(out.size(), 50000u);
}

TEST_F(GraphDecodeTest, DecodeWCharConvertsInPlace) {
  unsigned char seq[4] = {0xD0, 0x80, 0, 0};
  EXPECT_EQ(RCPosHarkTestAccess::DecodeWChar(*listener_, seq), 1);
  EXPECT_EQ(seq[0], 'A');
  unsigned char zero[4] = {0x10, 0, 0, 0};
  EXPECT_EQ(RCPosHarkTestAccess::DecodeWChar(*listener_, zero), 1);
  EXPECT_EQ(zero[0], 0);
}

TEST_F(GraphDecodeTest, CodeMapBeforeAnyTableChangesNothing) {
  RCPosHark& l = *listener_;
  EXPECT_TRUE(l.EnableCodeMap(true, nullptr));
  EXPECT_TRUE(RCPosHarkTestAccess::CodeMapOn(l));
  for (int b : {0x00, 0x20, 0x41, 0x80, 0xFF})
    EXPECT_EQ(RCPosHarkTestAccess::MapByte(l, static_cast<unsigned char>(b)), b);
}

TEST_F(GraphDecodeTest, CodeMapKeepsItsTableWhenSwitchedWithoutOne) {
  RCPosHark& l = *listener_;
  unsigned char table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(255 - i);
  EXPECT_TRUE(l.EnableCodeMap(true, table));
  EXPECT_EQ(RCPosHarkTestAccess::MapByte(l, 0x41), 0xBE);
  EXPECT_TRUE(l.EnableCodeMap(false, nullptr));
  EXPECT_EQ(RCPosHarkTestAccess::MapByte(l, 0x41), 0x41);  // off: bytes pass
  table[0x41] = 'x';  // the listener keeps its own copy
  EXPECT_TRUE(l.EnableCodeMap(true, nullptr));
  EXPECT_EQ(RCPosHarkTestAccess::MapByte(l, 0x41), 0xBE);
}

}  // namespace
