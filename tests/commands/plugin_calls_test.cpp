// Plug-in keys of a command set and the checks around every plug-in call:
// answers outside 1..3 and counts that do not fit never reach the analyzer,
// the write queue or the writer.
#include "commands/Plugins.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace poshark::commands;

namespace {

TEST(PluginKeys, UseDllTakesTheWholeRestAsPath) {
  PluginKey key = ParseUseDll("1,libs/a,b.so");
  EXPECT_TRUE(key.bOn);
  EXPECT_EQ(key.strLibrary, "libs/a,b.so");
  EXPECT_TRUE(key.bComplete);

  EXPECT_FALSE(ParseUseDll("0,liba.so").bOn);
  EXPECT_TRUE(ParseUseDll("2,liba.so").bOn);
  EXPECT_FALSE(ParseUseDll("0,").bComplete);
  EXPECT_FALSE(ParseUseDll("1").bComplete);  // no comma: no path
  EXPECT_TRUE(ParseUseDll("1").bOn);
  EXPECT_FALSE(ParseUseDll("x,liba.so").bOn);  // not a number reads as 0
}

TEST(PluginKeys, DllPreprocessNeedsACommaForTheSwitchAndTwoForAFunction) {
  EXPECT_FALSE(ParseDllPreprocess("1").bOn);  // without a comma the switch is off

  PluginKey onlyLibrary = ParseDllPreprocess("1,libpre.so");
  EXPECT_TRUE(onlyLibrary.bOn);
  EXPECT_FALSE(onlyLibrary.bComplete);

  PluginKey full = ParseDllPreprocess("1,libpre.so,Preprocess");
  EXPECT_TRUE(full.bOn);
  EXPECT_TRUE(full.bComplete);
  EXPECT_EQ(full.strLibrary, "libpre.so");
  EXPECT_EQ(full.strFunction, "Preprocess");
}

TEST(PluginKeys, UseFilterDllReadsLibraryAndFunctionFields) {
  PluginKey key = ParseUseFilterDll("1,libf.so,Filter,ignored");
  EXPECT_TRUE(key.bOn);
  EXPECT_EQ(key.strLibrary, "libf.so");
  EXPECT_EQ(key.strFunction, "Filter");

  PluginKey noFunction = ParseUseFilterDll("1,libf.so");
  EXPECT_EQ(noFunction.strLibrary, "libf.so");
  EXPECT_TRUE(noFunction.strFunction.empty());
  EXPECT_FALSE(ParseUseFilterDll("0,").bOn);
}

TEST(PluginKeys, FolderOfCommandSetEndsWithSeparatorUnlessOnlyLeading) {
  EXPECT_EQ(CmdSetFolder("/opt/pos/Printer Commands/a.ini"), "/opt/pos/Printer Commands/");
  EXPECT_EQ(CmdSetFolder("/a.ini"), "");
  EXPECT_EQ(CmdSetFolder("a.ini"), "");
}

// Parameter measures standing in for plug-ins.
int g_nAnswer = 2;
int g_nStart = 0;
int g_nLength = 0;
int FakeMeasure(unsigned char*, int, int* pStart, int* pLength) {
  *pStart = g_nStart;
  *pLength = g_nLength;
  return g_nAnswer;
}

int Measure(int nAnswer, int nStart, int nLength, int nCount, int* pStart, int* pLength) {
  g_nAnswer = nAnswer;
  g_nStart = nStart;
  g_nLength = nLength;
  unsigned char data[16] = {};
  *pStart = 0;
  *pLength = 0;
  return CallParamAnalyze(&FakeMeasure, data, nCount, pStart, pLength);
}

TEST(ParamMeasure, CompleteAnswerKeepsARangeThatFits) {
  int nStart, nLength;
  EXPECT_EQ(Measure(2, 1, 3, 4, &nStart, &nLength), CMD_DONE);
  EXPECT_EQ(nStart, 1);
  EXPECT_EQ(nLength, 3);
  EXPECT_EQ(Measure(2, 0, 0, 0, &nStart, &nLength), CMD_DONE);  // empty parameter
  // Only the low 16 bits are the answer.
  EXPECT_EQ(Measure(0x30002, 0, 2, 4, &nStart, &nLength), CMD_DONE);
}

TEST(ParamMeasure, CompleteAnswerWithRangeBeyondCountDiscards) {
  int nStart, nLength;
  EXPECT_EQ(Measure(2, 1, 4, 4, &nStart, &nLength), CMD_DISCARD);
  EXPECT_EQ(nStart, 0);
  EXPECT_EQ(nLength, 0);
  EXPECT_EQ(Measure(2, -1, 2, 4, &nStart, &nLength), CMD_DISCARD);
  EXPECT_EQ(Measure(2, 0, -1, 4, &nStart, &nLength), CMD_DISCARD);
  EXPECT_EQ(Measure(2, 0x7fffffff, 0x7fffffff, 4, &nStart, &nLength), CMD_DISCARD);
}

TEST(ParamMeasure, AnswersOutsideOneToThreeDiscard) {
  int nStart, nLength;
  EXPECT_EQ(Measure(1, 0, 0, 4, &nStart, &nLength), CMD_MORE);
  EXPECT_EQ(Measure(3, 0, 0, 4, &nStart, &nLength), CMD_DISCARD);
  for (int nAnswer : {0, 4, 5, 7, 0xFFFF, -1, 0x10000})
    EXPECT_EQ(Measure(nAnswer, 0, 1, 4, &nStart, &nLength), CMD_DISCARD) << nAnswer;
}

// Preprocess functions standing in for plug-ins.
unsigned char* g_pOut = nullptr;
int g_nOutCount = 0;
unsigned char* g_pExtra = nullptr;
int g_nExtraCount = 0;
int g_nNewEvent = -1;
int FakePreprocess(unsigned char*, int, unsigned char** ppOut, int* pOutCount,
                   unsigned char** ppExtra, int* pExtraCount, int* pEvent) {
  *ppOut = g_pOut;
  *pOutCount = g_nOutCount;
  *ppExtra = g_pExtra;
  *pExtraCount = g_nExtraCount;
  *pEvent = g_nNewEvent;
  return 0;
}

TEST(Preprocess, DropsRecordsWithoutUsableOutput) {
  unsigned char text[] = "abc";
  std::vector<unsigned char> huge(kMaxPreprocessedLen + 1, 'x');
  PreprocessOut out;
  g_pExtra = nullptr;
  g_nExtraCount = 0;
  g_pOut = nullptr;
  g_nOutCount = 3;
  EXPECT_FALSE(CallPreprocess(&FakePreprocess, text, 3, -1, &out));
  g_pOut = text;
  g_nOutCount = -1;
  EXPECT_FALSE(CallPreprocess(&FakePreprocess, text, 3, -1, &out));
  g_pOut = huge.data();
  g_nOutCount = static_cast<int>(huge.size());
  EXPECT_FALSE(CallPreprocess(&FakePreprocess, text, 3, -1, &out));
  g_nOutCount = kMaxPreprocessedLen;
  EXPECT_TRUE(CallPreprocess(&FakePreprocess, text, 3, -1, &out));
}

TEST(Preprocess, ExtraBlockIsCheckedAndBounded) {
  unsigned char text[] = "abc";
  std::vector<unsigned char> block(1000, 'e');
  PreprocessOut out;
  g_pOut = text;
  g_nOutCount = 2;
  g_nNewEvent = 2;

  g_pExtra = block.data();
  g_nExtraCount = 5;
  ASSERT_TRUE(CallPreprocess(&FakePreprocess, text, 3, -1, &out));
  EXPECT_EQ(out.pData, text);
  EXPECT_EQ(out.nLen, 2);
  EXPECT_EQ(out.nEvent, 2);
  EXPECT_EQ(out.pExtra, block.data());
  EXPECT_EQ(out.nExtraLen, 5);

  g_nExtraCount = 1000;
  ASSERT_TRUE(CallPreprocess(&FakePreprocess, text, 3, -1, &out));
  EXPECT_EQ(out.nExtraLen, kMaxExtraLen);

  g_nExtraCount = -4;
  ASSERT_TRUE(CallPreprocess(&FakePreprocess, text, 3, -1, &out));
  EXPECT_EQ(out.pExtra, nullptr);
  EXPECT_EQ(out.nExtraLen, 0);

  g_pExtra = nullptr;  // a count without a block is no block
  g_nExtraCount = 50;
  ASSERT_TRUE(CallPreprocess(&FakePreprocess, text, 3, -1, &out));
  EXPECT_EQ(out.pExtra, nullptr);
  EXPECT_EQ(out.nExtraLen, 0);
}

int FakeFilterGrow(char* pBuf, int nCapacity) {
  size_t n = strnlen(pBuf, static_cast<size_t>(nCapacity));
  if (n + 3 < static_cast<size_t>(nCapacity)) std::memcpy(pBuf + n, "+++", 4);
  return 0;
}
int FakeFilterFill(char* pBuf, int nCapacity) {
  std::memset(pBuf, 'f', static_cast<size_t>(nCapacity));  // no NUL left in the room
  return 0;
}
int FakeFilterUpper(char* pBuf, int nCapacity) {
  for (int i = 0; i < nCapacity && pBuf[i]; ++i)
    if (pBuf[i] >= 'a' && pBuf[i] <= 'z') pBuf[i] = static_cast<char>(pBuf[i] - 32);
  return 0;
}

TEST(OutputFilter, TextEndFollowsWhatTheFilterWrote) {
  std::vector<unsigned char> buf(17, 0xEE);
  std::memcpy(buf.data(), "ab\0cd", 5);
  EXPECT_EQ(CallOutputFilter(&FakeFilterUpper, buf.data(), 5, 16), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), 5), std::string("AB\0cd", 5));

  std::memcpy(buf.data(), "abc", 3);
  EXPECT_EQ(CallOutputFilter(&FakeFilterGrow, buf.data(), 3, 16), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data())), "abc+++");

  EXPECT_EQ(CallOutputFilter(&FakeFilterFill, buf.data(), 3, 16), 16);
  EXPECT_EQ(buf[16], 0);
}

}  // namespace
