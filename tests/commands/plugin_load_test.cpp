// Plug-in libraries named by real command-set files: where they are found,
// what a missing library or export leaves off, and how the analyzer
// plug-in's answers act on the command table and on barcodes.
#include "commands/PluginTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using poshark_test::PluginPath;
using Bytes = std::vector<unsigned char>;

namespace {

class PluginLoadTest : public ::testing::Test {
 protected:
  RCCmdSet& Load(const std::string& content) {
    set_ = work_.LoadSet(content);
    return *set_;
  }
  // The plug-in as analyzer, one type-3 single command ESC L, a barcode GS k
  // whose parameter is a count byte n and n bytes (start 1: the count byte
  // goes with the barcode), text "ID:".
  RCCmdSet& LoadMeasure(const std::string& measure,
                        const std::string& transform = "BarcodeReverse") {
    return Load("[Main]\nUseDll=1," + PluginPath() + "\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3," +
                measure + "\n[BARCODE]\n1=2,GS,k,3,MeasureSkipPrefix,1,ID:\n[BARCODE_Analyze]\n1=" +
                transform + "\n");
  }
  // MatchCommand at every cursor position, as the analyzer steps over text,
  // until it asks for more data; answers the bytes that remain.
  std::string Walk(std::string text) {
    Bytes buf(text.begin(), text.end());
    int nLen = static_cast<int>(buf.size());
    for (int p = 0, nCalls = 0; p < nLen && nCalls < 1000; ++nCalls) {
      int rem = nLen - p;
      int before = rem;
      int result = set_->MatchCommand(buf.data() + p, rem);
      if (result == CMD_DONE)
        nLen -= before - rem;
      else if (result == CMD_DISCARD)
        nLen = p;
      else if (result == CMD_NONE)
        ++p;
      else
        break;  // more data: the analyzer would wait for the next chunk here
    }
    return std::string(buf.begin(), buf.begin() + nLen);
  }
  // The barcode output and the bytes left after it.
  std::pair<std::string, std::string> Barcode(const std::string& text) {
    Bytes buf(text.begin(), text.end());
    int nLen = static_cast<int>(buf.size());
    EXPECT_EQ(set_->AnalyzeBarcode(buf.data(), nLen), CMD_DONE);
    int nSize = 0;
    set_->GetBarcodeText(nullptr, nSize);
    Bytes out(static_cast<size_t>(nSize));
    set_->GetBarcodeText(out.data(), nSize);
    return {std::string(out.begin(), out.end()), std::string(buf.begin(), buf.begin() + nLen)};
  }

  poshark_test::WorkFolder work_;
  std::unique_ptr<RCCmdSet> set_;
};

TEST_F(PluginLoadTest, LibrariesAreFoundByPathOrInTheSetFolderAndMissingOnesStayOff) {
  work_.CopyPlugin("commands", "libplug.so");
  work_.CopyPlugin("commands", "lib,plug.so");
  const std::string single =
      "\nS-Num=2\n[Single-Command]\n1=2,ESC,L,3,MeasureLenPrefixed\n2=2,ESC,d,1,3\n"
      "[BARCODE]\n1=2,GS,k,3,MeasureLenPrefixed\n[BARCODE_Analyze]\n1=BarcodeReverse\n";
  const struct {
    std::string keys;
    bool analyzer;
    size_t singles;
    bool preprocess, filter;
  } cases[] = {
      {"UseDll=1,libplug.so" + single, true, 2, false, false},
      {"UseDll=2,lib,plug.so" + single, true, 2, false, false},     // the whole rest is the path
      {"UseDll=x,libplug.so" + single, false, 1, false, false},     // not a number: off
      {"UseDll=1,libnowhere.so" + single, false, 1, false, false},  // type-3 entries left out
      {"UseDll=0," + PluginPath() + single, false, 1, false, false},
      {"DllPreprocess=1,libplug.so,Preprocess\n", false, 0, true, false},
      {"DllPreprocess=1," + PluginPath() + ",Preprocess\n", false, 0, true, false},
      {"DllPreprocess=1,libplug.so\n", false, 0, false, false},  // no function
      {"DllPreprocess=1,libplug.so,NoSuchFunction\n", false, 0, false, false},
      {"DllPreprocess=1,libnone.so,Preprocess\n", false, 0, false, false},
      {"DllPreprocess=1\n", false, 0, false, false},
      {"UseFilterDll=1," + PluginPath() + ",FilterMaskDigits\n", false, 0, false, true},
      {"UseFilterDll=1,libplug.so,FilterMaskDigits,ignored\n", false, 0, false, true},
      {"UseFilterDll=1,libplug.so\n", false, 0, false, false},
      {"UseFilterDll=1,libplug.so,Nothing\n", false, 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    RCCmdSet& set = Load("[Main]\n" + c.keys);
    EXPECT_EQ(static_cast<bool>(set.hUseDll), c.analyzer);
    EXPECT_EQ(set.arSingle.size(), c.singles);
    EXPECT_EQ(static_cast<bool>(set.pBarcode), c.analyzer);
    EXPECT_EQ(set.pfnBarcodeAnalyze != nullptr, c.analyzer);
    EXPECT_EQ(static_cast<bool>(set.hPreprocessDll), c.preprocess);
    EXPECT_EQ(set.pfnPreprocess != nullptr, c.preprocess);
    if (c.keys.rfind("DllPreprocess", 0) == 0 && c.keys != "DllPreprocess=1,libplug.so\n") {
      EXPECT_EQ(set.bDllPreprocess, c.preprocess);  // missing library or export: switched off
    }
    EXPECT_EQ(static_cast<bool>(set.hFilterDll), c.filter);
    EXPECT_EQ(set.pfnFilter != nullptr, c.filter);
  }
  // A type-3 entry naming a missing export is left out: its bytes stay text.
  RCCmdSet& set = LoadMeasure("NoSuchMeasure");
  EXPECT_TRUE(set.hUseDll);
  EXPECT_TRUE(set.arSingle.empty());
  EXPECT_EQ(Walk("ab\x1bL\x02xycd"), "ab\x1bL\x02xycd");
}

TEST_F(PluginLoadTest, MeasureAnswersRemoveParametersOrDiscardButNeverStall) {
  const struct {
    const char* measure;
    std::string text, left;
  } cases[] = {
      {"MeasureLenPrefixed", "ab\x1bL\x03xyzcd", "abcd"},
      {"MeasureLenPrefixed", std::string("\x1bL\x00tail", 7), "tail"},
      {"MeasureSkipPrefix", "ab\x1bL\x02xycd",
       "ab\x02"
       "cd"},  // start bytes stay
      {"MeasureHighBitsComplete", "ab\x1bL\x01xcd", "abcd"},
      // Answers other than 1 and 2, and ranges outside the data, discard the rest.
      {"MeasureAnswerSeven", "ab\x1bL\x01xcd", "ab"},
      {"MeasureAnswerZero", "ab\x1bL\x01xcd", "ab"},
      {"MeasureAnswerFour", "ab\x1bL\x01xcd", "ab"},
      {"MeasureAnswerThree", "ab\x1bL\x01xcd", "ab"},
      {"MeasureAnswerMinusOne", "ab\x1bL\x01xcd", "ab"},
      {"MeasureOverrun", "ab\x1bL\x01xcd", "ab"},
      {"MeasureNegative", "ab\x1bL\x01xcd", "ab"},
      {"MeasureHuge", "ab\x1bL\x01xcd", "ab"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.measure);
    RCCmdSet& set = LoadMeasure(c.measure);
    ASSERT_EQ(set.arSingle.size(), 1u);
    EXPECT_EQ(Walk(c.text), c.left);
    EXPECT_EQ(set.pCurCmd, nullptr);
  }
}

TEST_F(PluginLoadTest, IncompleteParameterWaitsForMoreDataWithTheSameCommand) {
  RCCmdSet& set = LoadMeasure("MeasureLenPrefixed");
  Bytes buf = {'\x1b', 'L', 5, 'a', 'b'};
  int nLen = static_cast<int>(buf.size());
  EXPECT_EQ(set.MatchCommand(buf.data(), nLen), CMD_MORE);
  EXPECT_EQ(set.pCurCmd, set.arSingle[0].get());
  buf.insert(buf.end(), {'c', 'd', 'e', 'Z'});
  nLen = static_cast<int>(buf.size());
  EXPECT_EQ(set.MatchCommand(buf.data(), nLen), CMD_DONE);
  EXPECT_EQ(std::string(buf.begin(), buf.begin() + nLen), "Z");
  EXPECT_EQ(set.pCurCmd, nullptr);
}

TEST_F(PluginLoadTest, BarcodeTransformReplacesTheDataUnlessItsAnswerIsUnusable) {
  const struct {
    const char* transform;
    std::string text, barcode, rest;
  } cases[] = {
      // The transform sees the start and parameter bytes: \x04 1234, reversed.
      {"BarcodeReverse",
       "\x1dk\x04"
       "1234tail",
       "ID:4321\x04", "tail"},
      {"BarcodeLastByte",
       "\x1dk\x03"
       "abc!",
       "ID:c", "!"},
      {"BarcodeOutOfRange",
       "\x1dk\x04"
       "1234tail",
       "ID:1234", "tail"},
      {"BarcodeNegative",
       "\x1dk\x04"
       "1234tail",
       "ID:1234", "tail"},
      {"BarcodeDecline",
       "\x1dk\x04"
       "1234tail",
       "ID:1234", "tail"},
      {"NoSuchTransform",
       "\x1dk\x02"
       "xy",
       "ID:xy", ""},  // passes the barcode through
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.transform);
    RCCmdSet& set = LoadMeasure("MeasureLenPrefixed", c.transform);
    ASSERT_TRUE(set.pBarcode);
    EXPECT_EQ(set.pfnBarcodeAnalyze != nullptr, std::string(c.transform) != "NoSuchTransform");
    EXPECT_EQ(Barcode(c.text), std::make_pair(c.barcode, c.rest));
  }
}

TEST_F(PluginLoadTest, ClearReleasesEveryLibraryAndEntryPoint) {
  RCCmdSet& set =
      Load("[Main]\nUseDll=1," + PluginPath() + "\nDllPreprocess=1," + PluginPath() +
           ",Preprocess\nUseFilterDll=1," + PluginPath() + ",FilterMaskDigits" +
           "\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3,MeasureLenPrefixed\n"
           "[BARCODE]\n1=2,GS,k,3,MeasureSkipPrefix\n[BARCODE_Analyze]\n1=BarcodeReverse\n");
  ASSERT_TRUE(set.hUseDll && set.hPreprocessDll && set.hFilterDll);
  set.Clear();
  EXPECT_FALSE(set.bUseDll || set.bDllPreprocess || set.bUseFilterDll);
  EXPECT_FALSE(set.hUseDll || set.hPreprocessDll || set.hFilterDll);
  EXPECT_FALSE(set.pfnPreprocess || set.pfnFilter || set.pfnBarcodeAnalyze);
  EXPECT_TRUE(set.arSingle.empty());
  // Loading again after the release works as the first time.
  EXPECT_TRUE(set.Load(set.strPath));
  EXPECT_TRUE(set.hUseDll && set.hPreprocessDll && set.hFilterDll);
  EXPECT_EQ(Walk("a\x1bL\x01xb"), "ab");
}

}  // namespace
