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
    "[Main]\n"
    "Module_Name=Nonsense\n"
    "UseDll=1,libnonsense.so\n"
    "DllPreprocess=1,libnonsense.so,PreprocessNonsense\n"
    "UseFilterDll=1,libnonsense.so,FilterNonsense\n"
    "M-Num=2\n"
    "R-Num=1\n"
    "[Mutli-Command]\n"
    "1=ESC-Commands,ESC,2\n"
    "2=GS-Commands,GS,1\n"
    "[ESC-Commands]\n"
    "1=2,ESC,*,3,MeasureNonsense\n"
    "2=2,ESC,(,3,MeasureNonsense\n"
    "[GS-Commands]\n"
    "1=2,GS,(,3,MeasureNonsense\n"
    "[BARCODE]\n"
    "1=2,GS,k,3,MeasureNonsense,1,\"BARCODE \"\n"
    "[BARCODE_Analyze]\n"
    "1=BarcodeNonsense\n";

TEST(PluginNonsenseFaults, ListenerKeepsDeliveringAndStopsWhateverThePluginAnswers) {
  poshark_test::WorkFolder work;
  work.CopyPlugin("nonsense", "libnonsense.so");
  work.WriteSet("nonsense.ini", kNonsenseSet);
  g_lines = 0;
  g_bad = 0;

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
  size_t at = 0;
  for (size_t n = 1; at < stream.size(); n = n % 97 + 13) {
    size_t take = std::min(n, stream.size() - at);
    listener->GotData(static_cast<int>(take), reinterpret_cast<unsigned char*>(&stream[at]));
    at += take;
  }

  // Lines keep arriving until the stream is through (some records are
  // dropped by the plug-in's answers, so no exact count).
  int last = -1;
  for (int quiet = 0; quiet < 10 && g_lines.load() < 2000;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int now = g_lines.load();
    quiet = now == last ? quiet + 1 : 0;
    last = now;
  }
  EXPECT_GT(g_lines.load(), 0);
  EXPECT_EQ(g_bad.load(), 0);

  // Stopping must not hang on anything the plug-in said.
  auto stopped = std::async(std::launch::async, [&] { listener->ListenStop(); });
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "ListenStop hung";
  listener.reset();

  // The process is sound afterwards: a sane set delivers exactly.
  work.WriteSet("nonsense.ini", "[Main]\nModule_Name=Plain\n");
  poshark_test::LineCollector lines;
  auto plain = std::make_unique<RCPosHark>(8);
  ASSERT_TRUE(plain->SelectCmdSet(0));
  plain->SetGateOpenTime(0);
  plain->ListenStart(&poshark_test::LineCollector::Callback, true);
  std::string text = "after 1\nafter 2\n";
  plain->GotData(static_cast<int>(text.size()), reinterpret_cast<unsigned char*>(text.data()));
  auto got = lines.WaitFor(2);
  plain->ListenStop();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "after 1\n");
  EXPECT_EQ(got[1].text, "after 2\n");
}

}  // namespace
