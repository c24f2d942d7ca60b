// The sample receipts of examples/receipts, read through the library with
// the bundled command sets and code tables on: every line exact, in UTF-8,
// whatever the printer language and however the tables switch.
#include <gtest/gtest.h>
#include <poshark/RCPosHark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/LineCollector.h"
#include "support/TempHome.h"

#if defined(POSHARK_EXAMPLES_DIR) && defined(POSHARK_ESCPOS_PLUGIN)

using poshark::testing::LineCollector;
using poshark::testing::TempHome;

namespace {

constexpr int kPiece = 37;  // bytes per GotData call: commands split over calls

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Sample {
  std::string set = "ESC/POS";
  std::vector<std::string> lines;
};

// NAME.txt: "# codepage: ..." and "# set: ..." headers, then the lines.
Sample ReadSample(const std::string& name) {
  Sample sample;
  std::istringstream in(ReadFile(std::string(POSHARK_EXAMPLES_DIR) + "/receipts/" + name + ".txt"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# set: ", 0) == 0) {
      sample.set = line.substr(7);
    } else if (line.rfind("# ", 0) != 0) {
      sample.lines.push_back(line);
    }
  }
  return sample;
}

class SampleReceipts : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    for (const char* file : {"ESCPOS.ini", "StarLine.ini", "StarPRNT.ini"}) {
      fs::copy_file(std::string(POSHARK_EXAMPLES_DIR) + "/Printer Commands/" + file,
                    home_.CommandsDir() + "/" + file);
    }
    fs::create_symlink(POSHARK_ESCPOS_PLUGIN, home_.CommandsDir() + "/libposhark-escpos.so");
  }
  TempHome home_;
  LineCollector lines_;
};

TEST_P(SampleReceipts, GiveTheirLinesInUtf8WithOneStartAndOneStop) {
  const Sample sample = ReadSample(GetParam());
  ASSERT_FALSE(sample.lines.empty());
  RCPosHark l(1);
  ASSERT_TRUE(l.SelectCmdSet(sample.set)) << sample.set;
  EXPECT_TRUE(l.GetCodeTableErrors().empty()) << l.GetCodeTableErrors()[0];
  ASSERT_TRUE(l.EnableCodeTables(true));
  l.SetGateOpenTime(0);
  l.ListenStart(&LineCollector::Callback, true);
  std::string bytes =
      ReadFile(std::string(POSHARK_EXAMPLES_DIR) + "/receipts/" + GetParam() + ".bin");
  for (size_t i = 0; i < bytes.size(); i += kPiece) {
    int n = static_cast<int>(std::min<size_t>(kPiece, bytes.size() - i));
    l.GotData(n, reinterpret_cast<unsigned char*>(bytes.data() + i));
  }
  ASSERT_TRUE(l.EndOfInput(10000));
  std::vector<std::string> texts;
  int nStarts = 0;
  int nStops = 0;
  for (const auto& line : lines_.Lines()) {
    nStarts += line.nEvent == POSHARK_EVENT_START;
    nStops += line.nEvent == POSHARK_EVENT_STOP;
    // A blank record carries its event untrimmed (the spaces of a centred
    // title before its first style command): no line of text.
    if (line.text.find_first_not_of(' ') != std::string::npos) texts.push_back(line.text);
  }
  EXPECT_EQ(texts, sample.lines);
  EXPECT_EQ(nStarts, 1);
  EXPECT_EQ(nStops, 1);
  for (int n = 0; n < 256; ++n) EXPECT_EQ(l.GetUnknownTableCount(n), 0u) << "table " << n;
}

INSTANTIATE_TEST_SUITE_P(Bundled, SampleReceipts,
                         ::testing::Values("plain", "latin", "hebrew", "barcodes", "qrcode", "void",
                                           "escpos-tables", "star-line", "star-line-tables",
                                           "star-prnt", "star-prnt-tables"));

}  // namespace

#endif
