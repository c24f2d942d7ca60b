// A plug-in that answers nonsense at every entry point (measures, barcode
// transform, preprocess, output filter) cannot hang or crash the listener:
// it keeps delivering bounded, terminated lines and stops when asked.
#include "commands/PluginTestSupport.h"

#include <poshark/RCPosHark.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

namespace {

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

std::unique_ptr<RCPosHark> Start(RCPosHark::LineOutFt pfnLineOut) {
  auto listener = std::make_unique<RCPosHark>(8);
  EXPECT_TRUE(listener->SelectCmdSet(0));
  listener->SetGateOpenTime(0);
  listener->ListenStart(pfnLineOut, true);
  return listener;
}

TEST(PluginNonsenseFaults, ListenerKeepsDeliveringAndStopsWhateverThePluginAnswers) {
  poshark::testing::TempHome work;
  std::filesystem::copy_file(poshark_test::PluginPath("nonsense"),
                             work.CommandsDir() + "/libnonsense.so");
  work.CommandSet("nonsense.ini", kNonsenseSet);
  g_lines = 0;
  g_bad = 0;
  auto listener = Start(&CountLine);

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
  // Lines keep arriving until the stream is through (the plug-in's answers
  // drop some records, so no exact count).
  for (int quiet = 0, last = -1; quiet < 10 && g_lines.load() < 2000;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    quiet = g_lines.load() == last ? quiet + 1 : 0;
    last = g_lines.load();
  }
  EXPECT_GT(g_lines.load(), 0);
  EXPECT_EQ(g_bad.load(), 0);

  auto stopped = std::async(std::launch::async, [&] { listener->ListenStop(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "ListenStop hung";
  listener.reset();

  // The process is sound afterwards: a sane set delivers exactly.
  work.CommandSet("nonsense.ini", "[Main]\nModule_Name=Plain\n");
  poshark::testing::LineCollector lines;
  auto plain = Start(&poshark::testing::LineCollector::Callback);
  std::string text = "after 1\nafter 2\n";
  plain->GotData(static_cast<int>(text.size()), reinterpret_cast<unsigned char*>(text.data()));
  lines.WaitFor(2);
  EXPECT_EQ(lines.Texts(), (std::vector<std::string>{"after 1\n", "after 2\n"}));
  plain->ListenStop();
}

}  // namespace
