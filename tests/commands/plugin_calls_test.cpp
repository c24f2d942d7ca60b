// Plug-in keys of a command set and the checks on a parameter measure's
// answer: answers outside 1..3 and ranges that do not fit never reach the
// analyzer.
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

}  // namespace
