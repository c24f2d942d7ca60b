// A plug-in that answers nonsense at every entry point (measures, barcode
// transform, preprocess, output filter) cannot hang or crash the listener:
// it keeps delivering bounded, terminated lines and stops when asked.
#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>

#include "support/LineCollector.h"
#include "support/TempHome.h"

namespace {

using namespace poshark::testing;

std::atomic<int> g_lines{0};
std::atomic<int> g_bad{0};

unsigned short CountLine(char* pszText, SYSTEMTIME*, bool, int, int, char* pExtra) {
  // Text and extra block must be terminated within the listener's buffers.
  if (pszText && ::strnlen(pszText, 100001) > 100000) ++g_bad;
  if (pExtra && ::strnlen(pExtra, 100001) > 100000) ++g_bad;
  ++g_lines;
  return 0;
}

constexpr const char* kNonsenseSet =
    "[Main]\nModule_Name=Nonsense\nUseDll=1,libnonsense.so\n"
    "DllPreprocess=1,libnonsense.so,PreprocessNonsense\n"
    "UseFilterDll=1,libnonsense.so,FilterNonsense\nM-Num=2\nR-Num=1\n"
    "[Mutli-Command]\n1=ESC-Commands,ESC,2\n2=GS-Commands,GS,1\n"
    "[ESC-Commands]\n1=2,ESC,*,3,MeasureNonsense\n2=2,ESC,(,3,MeasureNonsense\n"
    "[GS-Commands]\n1=2,GS,(,3,MeasureNonsense\n"
    "[BARCODE]\n1=2,GS,k,3,MeasureNonsense,1,\"BARCODE \"\n"
    "[BARCODE_Analyze]\n1=BarcodeNonsense\n";

TEST(PluginNonsenseFaults, ListenerKeepsDeliveringAndStopsWhateverThePluginAnswers) {
  TempHome home;
  std::filesystem::copy_file(POSHARK_TEST_PLUGIN_DIR "/libtest_nonsense_plugin.so",
                             home.CommandsDir() + "/libnonsense.so");
  home.CommandSet("nonsense.ini", kNonsenseSet);
  auto listener = std::make_unique<RCPosHark>(8);
  ASSERT_TRUE(listener->SelectCmdSet(0));
  listener->SetGateOpenTime(0);
  listener->ListenStart(&CountLine, true);
  // Text, parameters the plug-in measures, barcodes, all in uneven chunks.
  std::string stream;
  for (int i = 0; i < 400; ++i) {
    stream += "item " + std::to_string(i) + "  1.00\n";
    stream += std::string("\x1b*\x21\x08\x00", 5) + std::string(24, static_cast<char>(i)) + "\n";
    stream += std::string("\x1d(k\x03\x00\x31\x43\x05", 8) + "tail\n";
    stream += std::string("\x1dk\x49\x0a{B12345678", 14) + "\n";
    stream += std::string("\x1b(A\xff\xff", 5) + "x\n";
  }
  for (size_t at = 0, n = 1; at < stream.size(); at += n, n = n % 97 + 13) {
    n = std::min(n, stream.size() - at);
    listener->GotData(static_cast<int>(n), reinterpret_cast<unsigned char*>(&stream[at]));
  }
  // Lines arrive until the stream is through (the plug-in's answers drop
  // some records, so no exact count): wait for a second without a new one.
  for (int last = -1; last != g_lines && g_lines < 2000;)
    WaitUntil([&, seen = last = g_lines] { return g_lines != seen; }, 1000);
  EXPECT_TRUE(g_lines > 0 && g_bad == 0) << g_lines << " lines, " << g_bad << " unbounded";
  auto stopped = std::async(std::launch::async, [&] { listener->ListenStop(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "ListenStop hung";
}

}  // namespace
