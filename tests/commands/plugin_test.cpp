// Plug-in libraries named by command-set files: where they are found, what a
// missing library or export leaves off, how the analyzer plug-in's answers
// act on commands and barcodes, and, inside a running listener, what the
// preprocess plug-in and the output filter do to the lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "commands/PluginTestSupport.h"
#include "platform/Debug.h"
#include "support/LineCollector.h"

using cmdset_test::PluginPath;
using poshark::testing::Feed;
using poshark::testing::LineCollector;
using Strings = std::vector<std::string>;

namespace {

class PluginLoad : public ::testing::Test {
 protected:
  RCCmdSet& Load(const std::string& content) {
    set_ = cmdset_test::LoadSet(home_, content);
    return *set_;
  }
  // The plug-in as analyzer: one type-3 single command ESC L, a barcode GS k
  // whose parameter is a count byte n and n bytes (start 1: the count byte
  // goes with the barcode), text "ID:".
  RCCmdSet& LoadMeasure(const std::string& measure, const std::string& transform = "") {
    return Load("[Main]\nUseDll=1," + PluginPath() + "\nS-Num=1\n[Single-Command]\n1=2,ESC,L,3," +
                measure + "\n[BARCODE]\n1=2,GS,k,3,MeasureSkipPrefix,1,ID:\n[BARCODE_Analyze]\n1=" +
                transform + "\n");
  }
  // MatchCommand at every cursor position, as the analyzer steps over text,
  // until it asks for more data; answers the bytes that remain.
  std::string Walk(std::string text) {
    int nLen = static_cast<int>(text.size());
    for (int p = 0; p < nLen;) {
      int rem = nLen - p, before = rem;
      int result = set_->MatchCommand(reinterpret_cast<unsigned char*>(text.data()) + p, rem);
      if (result == CMD_DONE)
        nLen -= before - rem;
      else if (result == CMD_DISCARD)
        nLen = p;
      else if (result == CMD_NONE)
        ++p;
      else
        break;  // more data: the analyzer would wait for the next chunk here
    }
    return text.substr(0, static_cast<size_t>(nLen));
  }

  cmdset_test::TempHome home_;
  std::unique_ptr<RCCmdSet> set_;
};

TEST_F(PluginLoad, LibrariesAreFoundByPathOrInTheSetFolderAndMissingOnesStayOff) {
  for (const char* name : {"libplug.so", "lib,plug.so"})
    std::filesystem::copy_file(PluginPath(), home_.CommandsDir() + "/" + name);
  const std::string single =
      "\nS-Num=2\n[Single-Command]\n1=2,ESC,L,3,MeasureLenPrefixed\n2=2,ESC,d,1,3\n"
      "[BARCODE]\n1=2,GS,k,3,MeasureLenPrefixed\n[BARCODE_Analyze]\n1=BarcodeReverse\n";
  // [Main] keys; analyzer plug-in, singles kept, preprocess, filter
  const std::tuple<std::string, bool, size_t, bool, bool> cases[] = {
      {"UseDll=1,libplug.so" + single, true, 2, false, false},
      {"UseDll=2,lib,plug.so" + single, true, 2, false, false},  // the whole rest is the path
      {"UseDll=0,libplug.so" + single, false, 1, false, false},
      {"UseDll=1,libnowhere.so" + single, false, 1, false, false},  // type-3 entries left out
      {"DllPreprocess=1,libplug.so,Preprocess\n", false, 0, true, false},
      {"DllPreprocess=1,libplug.so,NoSuchFunction\n", false, 0, false, false},
      {"UseFilterDll=1,libplug.so,FilterMaskDigits,ignored\n", false, 0, false, true},
  };
  for (const auto& [keys, analyzer, singles, preprocess, filter] : cases) {
    RCCmdSet& set = Load("[Main]\n" + keys);
    // A missing library or export switches its kind off.
    EXPECT_EQ(
        std::tuple(!!set.hUseDll, set.arSingle.size(), !!set.pBarcode, !!set.pfnBarcodeAnalyze,
                   !!set.hPreprocessDll, !!set.pfnPreprocess, !!set.hFilterDll, !!set.pfnFilter),
        std::tuple(analyzer, singles, analyzer, analyzer, preprocess, preprocess, filter, filter))
        << keys;
  }
  // A type-3 entry naming a missing export is left out: its bytes stay text.
  EXPECT_TRUE(LoadMeasure("NoSuchMeasure").arSingle.empty());
  EXPECT_EQ(Walk("ab\x1bL\x02xycd"), "ab\x1bL\x02xycd");
  // Clear releases every library and entry point; a load takes them again.
  RCCmdSet& set = Load(
      "[Main]\nDllPreprocess=1,libplug.so,Preprocess\nUseFilterDll=1,libplug.so,FilterMaskDigits\n"
      "UseDll=1,libplug.so" +
      single);
  set.Clear();
  EXPECT_FALSE(set.bUseDll || set.bDllPreprocess || set.bUseFilterDll);
  EXPECT_FALSE(set.hUseDll || set.hPreprocessDll || set.hFilterDll);
  EXPECT_FALSE(set.pfnPreprocess || set.pfnFilter || set.pfnBarcodeAnalyze);
  EXPECT_TRUE(set.Load(set.strPath) && set.pfnPreprocess && set.pfnFilter && set.hUseDll);
}

TEST_F(PluginLoad, RootLoadsPluginsOnlyFromFilesAndFoldersOthersCannotWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "the rule applies to root and to services";
  std::vector<std::string> warnings;
  poshark::platform::SetDebugSink([&](const char* text) { warnings.emplace_back(text); });
  const std::string folder = home_.CommandsDir();
  std::filesystem::copy_file(PluginPath(), folder + "/libplug.so");
  namespace fs = std::filesystem;
  fs::permissions(folder, fs::perms::group_write, fs::perm_options::add);
  EXPECT_FALSE(Load("[Main]\nUseDll=1,libplug.so\n").hUseDll);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(
      warnings[0].find(folder + "/libplug.so refused: " + folder + " is writable by its group"),
      std::string::npos)
      << warnings[0];
  // Root's own folder, and a sticky folder anyone may write (as /tmp), are trusted.
  fs::permissions(folder, fs::perms::group_write, fs::perm_options::remove);
  EXPECT_TRUE(Load("[Main]\nUseDll=1,libplug.so\n").hUseDll);
  fs::permissions(folder, fs::perms::all | fs::perms::sticky_bit, fs::perm_options::add);
  EXPECT_TRUE(Load("[Main]\nUseDll=1,libplug.so\n").hUseDll);
  // A file of another user is not, wherever it lies.
  ASSERT_EQ(::chown((folder + "/libplug.so").c_str(), 65534, 65534), 0);
  EXPECT_FALSE(Load("[Main]\nUseDll=1,libplug.so\n").hUseDll);
  EXPECT_NE(warnings.back().find("libplug.so is not owned by root"), std::string::npos)
      << warnings.back();
  poshark::platform::SetDebugSink(nullptr);
}

TEST_F(PluginLoad, MeasureAnswersRemoveParametersOrDiscardButNeverStall) {
  const std::tuple<const char*, std::string, std::string> cases[] = {
      // measure, text, left
      {"MeasureLenPrefixed", "ab\x1bL\x03xyzcd", "abcd"},
      {"MeasureLenPrefixed", std::string("\x1bL\x00tail", 7), "tail"},
      {"MeasureSkipPrefix", "ab\x1bL\x02xycd", "ab\002cd"},  // start bytes stay
      // Answers other than 1, 2 and 3, and ranges outside the data, discard the rest.
      {"MeasureAnswerSeven", "ab\x1bL\x01xcd", "ab"},
      {"MeasureOverrun", "ab\x1bL\x01xcd", "ab"},
      {"MeasureHuge", "ab\x1bL\x01xcd", "ab"},
  };
  for (const auto& [measure, text, left] : cases) {
    SCOPED_TRACE(measure);
    ASSERT_EQ(LoadMeasure(measure).arSingle.size(), 1u);
    EXPECT_EQ(Walk(text), left);
    EXPECT_EQ(set_->pCurCmd, nullptr);
  }
  // An incomplete parameter waits for more data with the same command.
  LoadMeasure("MeasureLenPrefixed");
  std::string buf = "\x1bL\005ab";
  int nLen = static_cast<int>(buf.size());
  EXPECT_EQ(set_->MatchCommand(reinterpret_cast<unsigned char*>(buf.data()), nLen), CMD_MORE);
  buf += "cdeZ";
  nLen = static_cast<int>(buf.size());
  EXPECT_EQ(set_->MatchCommand(reinterpret_cast<unsigned char*>(buf.data()), nLen), CMD_DONE);
  EXPECT_EQ(buf.substr(0, nLen), "Z");
}

TEST_F(PluginLoad, BarcodeTransformReplacesTheDataUnlessItsAnswerIsUnusable) {
  // transform, text, barcode text, bytes left
  const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
      // The transform sees the start and parameter bytes: \x04 1234, reversed.
      {"BarcodeReverse", "\x1dk\0041234tail", "ID:4321\x04", "tail"},
      {"BarcodeLastByte", "\x1dk\003abc!", "ID:c", "!"},
      {"BarcodeOutOfRange", "\x1dk\0041234tail", "ID:1234", "tail"},
      {"BarcodeDecline", "\x1dk\0041234tail", "ID:1234", "tail"},
      {"NoSuchTransform", "\x1dk\002xy", "ID:xy", ""},  // passes the barcode through
  };
  for (const auto& [transform, text, barcode, rest] : cases) {
    SCOPED_TRACE(transform);
    LoadMeasure("MeasureLenPrefixed", transform);
    std::string buf = text;
    int nLen = static_cast<int>(buf.size()), nSize = 0;
    EXPECT_EQ(set_->AnalyzeBarcode(reinterpret_cast<unsigned char*>(buf.data()), nLen), CMD_DONE);
    EXPECT_EQ(buf.substr(0, nLen), rest);
    set_->GetBarcodeText(nullptr, nSize);
    std::string out(static_cast<size_t>(nSize), '\0');
    set_->GetBarcodeText(reinterpret_cast<unsigned char*>(out.data()), nSize);
    EXPECT_EQ(out, barcode);
  }
}

// A listener in host-feed mode on one command-set file, its lines collected.
class PluginListener : public ::testing::Test {
 protected:
  void StartWith(const std::string& keys) {
    home_.CommandSet("set.ini", "[Main]\nModule_Name=Plugins\n" + keys);
    listener_ = std::make_unique<RCPosHark>(4);  // lists the command-set files
    ASSERT_TRUE(listener_->SelectCmdSet(0));
    listener_->SetGateOpenTime(0);
    listener_->ListenStart(&LineCollector::Callback, true);
  }

  cmdset_test::TempHome home_;
  LineCollector lines_;
  std::unique_ptr<RCPosHark> listener_;
};

// Counts beyond their blocks are checked before use: a negative, oversized or
// lying out count drops only its record; an extra block is bounded by the
// writer's buffer, and of a count far beyond it only the bounded part is read.
TEST_F(PluginListener, PreprocessDropsReplacesRetagsAttachesAndHasItsCountsChecked) {
  StartWith("DllPreprocess=1," + PluginPath() + ",Preprocess\n");
  Feed(*listener_,
       "first\nDROP this\nSWAP here\nCANCEL sale\nTAG me\nNEG two\nHUGE\nLIAR\nNEGX\nLONGX\n"
       "NULLX\nHUGEX\nlast\n");
  auto got = lines_.WaitFor(9);
  ASSERT_EQ(lines_.Texts(), Strings({"first\n", "replaced text here\n", "CANCEL sale\n", "TAG me\n",
                                     "NEGX\n", "LONGX\n", "NULLX\n", "HUGEX\n", "last\n"}));
  // The first text opens the transaction; the plug-in changes the third's event.
  EXPECT_EQ(std::tuple(got[0].nEvent, got[1].nEvent, got[2].nEvent),
            std::tuple(POSHARK_EVENT_START, POSHARK_EVENT_NONE, POSHARK_EVENT_VOID));
  EXPECT_EQ(std::tuple(got[3].extra, got[4].extra, got[5].extra, got[6].extra,
                       got[7].extra.substr(0, 16), got[8].extra),
            std::tuple("extra:7", "", std::string(260, 'L'), "", std::string(16, 'H'), ""));
}

// The listener keeps its own copy of the code map; switched off, bytes pass,
// and switched on again without a table, the copy applies again; a table
// changed while lines flow never tears a line.
TEST_F(PluginListener, CodeMapComesBeforeTheOutputFilter) {
  StartWith("UseFilterDll=1," + PluginPath() + ",FilterMaskDigits\n");
  unsigned char table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i == 'O' ? '0' : i);
  // Before any table, on with a table (the filter then masks 'O' as a digit),
  // off, on again without a table.
  const std::pair<bool, unsigned char*> steps[] = {
      {true, nullptr}, {true, table}, {false, nullptr}, {true, nullptr}};
  for (size_t i = 0; i < 4; ++i) {
    listener_->EnableCodeMap(steps[i].first, steps[i].second);
    if (steps[i].second)
      table[static_cast<unsigned char>('O')] = 'O';  // the listener keeps its own copy
    Feed(*listener_, "TOTAL 5\n");
    lines_.WaitFor(i + 1);
  }
  EXPECT_EQ(lines_.Texts(), Strings({"TOTAL #\n", "T#TAL #\n", "TOTAL #\n", "T#TAL #\n"}));

  // A table changed while lines are written maps each line all old or all new.
  unsigned char upper[256];
  for (int i = 0; i < 256; ++i) upper[i] = static_cast<unsigned char>(i == 'x' ? 'X' : i);
  std::atomic<bool> done{false};
  std::thread flip([&] {
    for (bool up = false; !done; up = !up) {
      listener_->EnableCodeMap(true, up ? upper : table);
      std::this_thread::yield();
    }
  });
  const std::string line(900, 'x');
  for (int i = 0; i < 100; ++i) Feed(*listener_, line + "\n");
  lines_.WaitFor(104);
  done = true;
  flip.join();
  auto texts = lines_.Texts();
  for (size_t i = 4; i < texts.size(); ++i) {
    EXPECT_TRUE(texts[i] == line + "\n" || texts[i] == std::string(900, 'X') + "\n") << texts[i];
  }
}

}  // namespace
