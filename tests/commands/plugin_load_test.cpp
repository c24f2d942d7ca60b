// Plug-in libraries named by real command-set files: where they are found,
// which names are resolved, what a missing library or export leaves off, and
// how the analyzer plug-in's answers act on the command table.
#include "PluginTestSupport.h"
#include "commands/RCCmdSet.h"
#include "platform/DynLib.h"

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
    set_ = std::make_unique<RCCmdSet>();
    EXPECT_TRUE(set_->Load(work_.WriteSet("set.ini", content)));
    return *set_;
  }
  // A set with the analyzer plug-in and one type-3 single command ESC L.
  RCCmdSet& LoadMeasure(const std::string& measure) {
    return Load("[Main]\nUseDll=1," + PluginPath("analyzer") +
                "\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3," + measure + "\n");
  }
  // MatchCommand at every cursor position, as the analyzer steps over text,
  // until it asks for more data; answers the bytes that remain.
  std::string Walk(std::string text, int nMaxCalls = 1000) {
    Bytes buf(text.begin(), text.end());
    int nLen = static_cast<int>(buf.size());
    int p = 0;
    while (p < nLen && nMaxCalls-- > 0) {
      int rem = nLen - p;
      int before = rem;
      int result = set_->MatchCommand(buf.data() + p, rem);
      if (result == CMD_DONE) {
        nLen -= before - rem;
      } else if (result == CMD_DISCARD) {
        nLen = p;
      } else if (result == CMD_NONE) {
        ++p;
      } else if (result == CMD_MORE) {
        break;  // the analyzer would wait for the next chunk here
      } else {
        ADD_FAILURE() << "answer " << result << " at " << p;
        break;
      }
    }
    return std::string(buf.begin(), buf.begin() + nLen);
  }

  poshark_test::WorkFolder work_;
  std::unique_ptr<RCCmdSet> set_;
};

TEST_F(PluginLoadTest, AnalyzerLibraryByBareNameIsTakenFromTheCommandSetFolder) {
  work_.CopyPlugin("analyzer", "libmeasure.so");
  RCCmdSet& set = Load(
      "[Main]\nUseDll=1,libmeasure.so\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3,MeasureLenPrefixed\n");
  EXPECT_TRUE(set.bUseDll);
  ASSERT_TRUE(set.hUseDll);
  ASSERT_EQ(set.arSingle.size(), 1u);
  EXPECT_NE(set.arSingle[0]->pfnAnalyze, nullptr);
}

TEST_F(PluginLoadTest, MissingAnalyzerLibraryLeavesTypeThreeEntriesOut) {
  RCCmdSet& set = Load(
      "[Main]\nUseDll=1,libnowhere.so\nS-Num=2\n[Single-Command]\n"
      "1=2,ESC,L,3,MeasureLenPrefixed\n2=2,ESC,d,1,3\n"
      "[BARCODE]\n1=2,GS,k,3,MeasureLenPrefixed\n[BARCODE_Analyze]\n1=BarcodeReverse\n");
  EXPECT_TRUE(set.bUseDll);  // the switch is as written; only the library is missing
  EXPECT_FALSE(set.hUseDll);
  ASSERT_EQ(set.arSingle.size(), 1u);  // only the fixed-length command
  EXPECT_EQ(set.arSingle[0]->nType, 1);
  EXPECT_FALSE(set.pBarcode);
  EXPECT_EQ(set.pfnBarcodeAnalyze, nullptr);
}

TEST_F(PluginLoadTest, SwitchedOffAnalyzerIsNotLoaded) {
  RCCmdSet& set = Load("[Main]\nUseDll=0," + PluginPath("analyzer") +
                       "\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3,MeasureLenPrefixed\n");
  EXPECT_FALSE(set.bUseDll);
  EXPECT_FALSE(set.hUseDll);
  EXPECT_TRUE(set.arSingle.empty());
}

TEST_F(PluginLoadTest, TypeThreeEntryNamingAMissingExportStaysText) {
  RCCmdSet& set = LoadMeasure("NoSuchMeasure");
  EXPECT_TRUE(set.hUseDll);
  EXPECT_TRUE(set.arSingle.empty());
  EXPECT_EQ(Walk("ab\x1bL\x02xycd"), "ab\x1bL\x02xycd");
}

TEST_F(PluginLoadTest, LengthPrefixedParameterIsRemovedWithItsCommand) {
  LoadMeasure("MeasureLenPrefixed");
  EXPECT_EQ(Walk("ab\x1bL\x03xyzcd"), "abcd");
  EXPECT_EQ(Walk(std::string("\x1bL\x00tail", 7)), "tail");
}

TEST_F(PluginLoadTest, StartBytesBeforeTheParameterStayInTheText) {
  LoadMeasure("MeasureSkipPrefix");
  EXPECT_EQ(Walk("ab\x1bL\x02xycd"), "ab\x02" "cd");
}

TEST_F(PluginLoadTest, OnlyTheLowSixteenBitsOfTheAnswerCount) {
  LoadMeasure("MeasureHighBitsComplete");
  EXPECT_EQ(Walk("ab\x1bL\x01xcd"), "abcd");
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
  EXPECT_EQ(nLen, 1);
  EXPECT_EQ(buf[0], 'Z');
  EXPECT_EQ(set.pCurCmd, nullptr);
}

TEST_F(PluginLoadTest, AnswersOutsideOneToThreeDiscardInsteadOfStalling) {
  for (const char* measure : {"MeasureAnswerSeven", "MeasureAnswerZero", "MeasureAnswerFour"}) {
    RCCmdSet& set = LoadMeasure(measure);
    ASSERT_EQ(set.arSingle.size(), 1u) << measure;
    EXPECT_EQ(Walk("ab\x1bL\x01xcd"), "ab") << measure;
    EXPECT_EQ(set.pCurCmd, nullptr) << measure;
  }
}

TEST_F(PluginLoadTest, RangesOutsideTheDataDiscard) {
  for (const char* measure : {"MeasureOverrun", "MeasureNegative", "MeasureHuge"}) {
    LoadMeasure(measure);
    EXPECT_EQ(Walk("ab\x1bL\x01xcd"), "ab") << measure;
  }
}

class BarcodeTransformTest : public PluginLoadTest {
 protected:
  // Barcode GS k with a parameter of one count byte n and n data bytes
  // (start 1: the count byte is removed with the barcode), text "ID:".
  RCCmdSet& LoadBarcode(const std::string& transform) {
    return Load("[Main]\nUseDll=1," + PluginPath("analyzer") +
                "\n[BARCODE]\n1=2,GS,k,3,MeasureSkipPrefix,1,ID:\n[BARCODE_Analyze]\n1=" +
                transform + "\n");
  }
  // The barcode output and the bytes left in the buffer after it.
  std::pair<std::string, std::string> Take(const std::string& text) {
    Bytes buf(text.begin(), text.end());
    int nLen = static_cast<int>(buf.size());
    EXPECT_EQ(set_->AnalyzeBarcode(buf.data(), nLen), CMD_DONE);
    int nSize = 0;
    set_->GetBarcodeText(nullptr, nSize);
    Bytes out(static_cast<size_t>(nSize));
    set_->GetBarcodeText(out.data(), nSize);
    return {std::string(out.begin(), out.end()),
            std::string(buf.begin(), buf.begin() + nLen)};
  }
};

TEST_F(BarcodeTransformTest, TransformedDataReplacesTheParameter) {
  RCCmdSet& set = LoadBarcode("BarcodeReverse");
  EXPECT_NE(set.pfnBarcodeAnalyze, nullptr);
  // The transform sees the start and parameter bytes: \x04 1234, reversed.
  auto [barcode, rest] = Take("\x1dk\x04" "1234tail");
  EXPECT_EQ(barcode, "ID:4321\x04");
  EXPECT_EQ(rest, "tail");

  LoadBarcode("BarcodeFirstByte");
  EXPECT_EQ(Take("\x1dk\x03" "abc!").first, "ID:c");
}

TEST_F(BarcodeTransformTest, RejectedOrOutOfRangeTransformLeavesTheDataUnchanged) {
  for (const char* transform : {"BarcodeOutOfRange", "BarcodeNegative", "BarcodeDecline"}) {
    RCCmdSet& set = LoadBarcode(transform);
    ASSERT_NE(set.pfnBarcodeAnalyze, nullptr) << transform;
    auto [barcode, rest] = Take("\x1dk\x04" "1234tail");
    EXPECT_EQ(barcode, "ID:1234") << transform;
    EXPECT_EQ(rest, "tail") << transform;
  }
}

TEST_F(BarcodeTransformTest, MissingTransformExportPassesTheBarcodeThrough) {
  RCCmdSet& set = LoadBarcode("NoSuchTransform");
  ASSERT_TRUE(set.pBarcode);
  EXPECT_EQ(set.pfnBarcodeAnalyze, nullptr);
  EXPECT_EQ(Take("\x1dk\x02" "xy").first, "ID:xy");
}

TEST_F(PluginLoadTest, PreprocessWithoutFunctionNameLoadsNothing) {
  work_.CopyPlugin("preprocess", "libpre.so");
  RCCmdSet& set = Load("[Main]\nDllPreprocess=1,libpre.so\n");
  EXPECT_FALSE(set.hPreprocessDll);
  EXPECT_EQ(set.pfnPreprocess, nullptr);
}

TEST_F(PluginLoadTest, PreprocessIsFoundInTheCommandSetFolder) {
  work_.CopyPlugin("preprocess", "libpre.so");
  RCCmdSet& set = Load("[Main]\nDllPreprocess=1,libpre.so,Preprocess\n");
  EXPECT_TRUE(set.bDllPreprocess);
  EXPECT_TRUE(set.hPreprocessDll);
  EXPECT_NE(set.pfnPreprocess, nullptr);

  // An absolute path names the file itself.
  RCCmdSet& byPath = Load("[Main]\nDllPreprocess=1," + PluginPath("preprocess") + ",Preprocess\n");
  EXPECT_NE(byPath.pfnPreprocess, nullptr);
}

TEST_F(PluginLoadTest, PreprocessWithMissingLibraryOrExportIsSwitchedOff) {
  work_.CopyPlugin("preprocess", "libpre.so");
  RCCmdSet& missingExport = Load("[Main]\nDllPreprocess=1,libpre.so,NoSuchFunction\n");
  EXPECT_FALSE(missingExport.bDllPreprocess);
  EXPECT_FALSE(missingExport.hPreprocessDll);
  EXPECT_EQ(missingExport.pfnPreprocess, nullptr);

  RCCmdSet& missingLibrary = Load("[Main]\nDllPreprocess=1,libnone.so,Preprocess\n");
  EXPECT_FALSE(missingLibrary.bDllPreprocess);
  EXPECT_EQ(missingLibrary.pfnPreprocess, nullptr);

  EXPECT_FALSE(Load("[Main]\nDllPreprocess=1\n").bDllPreprocess);  // no comma: off
}

TEST_F(PluginLoadTest, OutputFilterByPathOrInFolder) {
  RCCmdSet& byPath = Load("[Main]\nUseFilterDll=1," + PluginPath("filter") + ",FilterMaskDigits\n");
  EXPECT_TRUE(byPath.bUseFilterDll);
  EXPECT_NE(byPath.pfnFilter, nullptr);

  work_.CopyPlugin("filter", "libfilter.so");
  RCCmdSet& inFolder = Load("[Main]\nUseFilterDll=1,libfilter.so,FilterMaskDigits\n");
  EXPECT_NE(inFolder.pfnFilter, nullptr);

  RCCmdSet& noFunction = Load("[Main]\nUseFilterDll=1,libfilter.so\n");
  EXPECT_EQ(noFunction.pfnFilter, nullptr);
  RCCmdSet& missingExport = Load("[Main]\nUseFilterDll=1,libfilter.so,Nothing\n");
  EXPECT_EQ(missingExport.pfnFilter, nullptr);
  EXPECT_FALSE(missingExport.hFilterDll);
}

TEST_F(PluginLoadTest, ClearReleasesEveryLibraryAndEntryPoint) {
  RCCmdSet& set = Load("[Main]\nUseDll=1," + PluginPath("analyzer") +
                       "\nDllPreprocess=1," + PluginPath("preprocess") + ",Preprocess" +
                       "\nUseFilterDll=1," + PluginPath("filter") + ",FilterMaskDigits" +
                       "\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3,MeasureLenPrefixed\n"
                       "[BARCODE]\n1=2,GS,k,3,MeasureSkipPrefix\n[BARCODE_Analyze]\n1=BarcodeReverse\n");
  ASSERT_TRUE(set.hUseDll && set.hPreprocessDll && set.hFilterDll);
  ASSERT_NE(set.pfnBarcodeAnalyze, nullptr);
  set.Clear();
  EXPECT_FALSE(set.bUseDll || set.bDllPreprocess || set.bUseFilterDll);
  EXPECT_FALSE(set.hUseDll || set.hPreprocessDll || set.hFilterDll);
  EXPECT_EQ(set.pfnPreprocess, nullptr);
  EXPECT_EQ(set.pfnFilter, nullptr);
  EXPECT_EQ(set.pfnBarcodeAnalyze, nullptr);
  EXPECT_TRUE(set.arSingle.empty());
  // Loading again after the release works as the first time.
  EXPECT_TRUE(set.Load(set.strPath));
  EXPECT_TRUE(set.hUseDll && set.hPreprocessDll && set.hFilterDll);
  EXPECT_EQ(Walk("a\x1bL\x01xb"), "ab");
}

}  // namespace
