// Plug-in keys of a command set and the checks on a parameter measure's
// answer: answers outside 1..3 and ranges that do not fit never reach the
// analyzer.
#include "commands/Plugins.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

using namespace poshark::commands;

namespace {

TEST(PluginCallsTest, KeysGiveSwitchLibraryAndFunction) {
  const struct {
    const char* key;
    PluginKey (*parse)(std::string_view);
    bool on, complete;
    const char *library, *function;
  } cases[] = {
      {"UseDll=1,libs/a,b.so", ParseUseDll, true, true, "libs/a,b.so", ""},  // the rest is the path
      {"UseDll=2,liba.so", ParseUseDll, true, true, "liba.so", ""},
      {"UseDll=0,", ParseUseDll, false, false, "", ""},
      {"UseDll=1", ParseUseDll, true, false, "", ""},  // no comma: no path
      {"UseDll=x,liba.so", ParseUseDll, false, true, "liba.so", ""},  // not a number reads as 0
      {"DllPreprocess=1", ParseDllPreprocess, false, false, "", ""},  // no comma: off
      {"DllPreprocess=1,libpre.so", ParseDllPreprocess, true, false, "libpre.so", ""},
      {"DllPreprocess=1,libpre.so,Pre", ParseDllPreprocess, true, true, "libpre.so", "Pre"},
      {"UseFilterDll=1,libf.so,Filter,ignored", ParseUseFilterDll, true, true, "libf.so", "Filter"},
      {"UseFilterDll=1,libf.so", ParseUseFilterDll, true, false, "libf.so", ""},
      {"UseFilterDll=0,", ParseUseFilterDll, false, false, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    std::string value = c.key;
    PluginKey key = c.parse(value.substr(value.find('=') + 1));
    EXPECT_EQ(key.bOn, c.on);
    if (key.bOn) {
      if (c.parse != ParseUseFilterDll) EXPECT_EQ(key.bComplete, c.complete);
      EXPECT_EQ(key.strLibrary, c.library);
      EXPECT_EQ(key.strFunction, c.function);
    }
  }
  EXPECT_EQ(CmdSetFolder("/opt/pos/Printer Commands/a.ini"), "/opt/pos/Printer Commands/");
  EXPECT_EQ(CmdSetFolder("/a.ini"), "");
  EXPECT_EQ(CmdSetFolder("a.ini"), "");
}

int g_nAnswer, g_nStart, g_nLength;
int FakeMeasure(unsigned char*, int, int* pStart, int* pLength) {
  *pStart = g_nStart;
  *pLength = g_nLength;
  return g_nAnswer;
}

TEST(PluginCallsTest, MeasureAnswersAndRangesAreChecked) {
  const struct {
    int answer, start, length, result;
  } cases[] = {
      {2, 1, 3, CMD_DONE}, {2, 0, 0, CMD_DONE}, {0x30002, 0, 2, CMD_DONE},  // low 16 bits count
      {1, 0, 0, CMD_MORE}, {3, 0, 0, CMD_DISCARD},
      {2, 1, 4, CMD_DISCARD}, {2, -1, 2, CMD_DISCARD}, {2, 0, -1, CMD_DISCARD},
      {2, 0x7fffffff, 0x7fffffff, CMD_DISCARD},
      {0, 0, 1, CMD_DISCARD}, {4, 0, 1, CMD_DISCARD}, {0xFFFF, 0, 1, CMD_DISCARD},
      {-1, 0, 1, CMD_DISCARD}, {0x10000, 0, 1, CMD_DISCARD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.answer << " " << c.start << " " << c.length);
    g_nAnswer = c.answer;
    g_nStart = c.start;
    g_nLength = c.length;
    unsigned char data[16] = {};
    int nStart = 0, nLength = 0;
    EXPECT_EQ(CallParamAnalyze(&FakeMeasure, data, 4, &nStart, &nLength), c.result);
    if (c.result == CMD_DONE) EXPECT_EQ(nStart * 100 + nLength, c.start * 100 + c.length);
    if (c.result == CMD_DISCARD) EXPECT_EQ(nStart * 100 + nLength, 0);
  }
}

}  // namespace
