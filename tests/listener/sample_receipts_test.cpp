// The sample receipts of examples/receipts, read through the library with
// the bundled command sets and code tables on: every line exact, in UTF-8,
// whatever the printer language or dialect and however the tables switch.
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

// The bundled sets beside their plug-in in the home's command folder.
void InstallBundledSets(const TempHome& home) {
  namespace fs = std::filesystem;
  for (const char* file : {"ESCPOS.ini", "ESCPOS_Bema.ini", "ESCPOS_Daruma.ini",
                           "ESCPOS_Generic.ini", "ESCPOS_I9.ini", "StarLine.ini", "StarPRNT.ini"}) {
    fs::copy_file(std::string(POSHARK_EXAMPLES_DIR) + "/Printer Commands/" + file,
                  home.CommandsDir() + "/" + file);
  }
  fs::create_symlink(POSHARK_ESCPOS_PLUGIN, home.CommandsDir() + "/libposhark-escpos.so");
}

// The samples of the printer families (family-*), each its own case.
std::vector<std::string> FamilySamples() {
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(POSHARK_EXAMPLES_DIR) + "/receipts")) {
    if (entry.path().filename().string().rfind("family-", 0) == 0 &&
        entry.path().extension() == ".txt")
      names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SampleReceipts : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { InstallBundledSets(home_); }
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
INSTANTIATE_TEST_SUITE_P(Families, SampleReceipts, ::testing::ValuesIn(FamilySamples()),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// Each dialect's select command names the page its printers number so, and
// a set with a start table reads text before any select in it: one byte of
// each table, read as the family's printers print it.
TEST(DialectTables, EachSetReadsTheTablesItsPrintersNumber) {
  struct Case {
    const char* set;
    int table;  // -1: no select command (the start table)
    unsigned char byte;
    const char* text;
  };
  const Case kCases[] = {{"ESC/Bema", -1, 0x80, "€"},        {"ESC/Bema", 1, 0x80, "€"},
                         {"ESC/Bema", 2, 0xC6, "ã"},         {"ESC/Bema", 3, 0x84, "ä"},
                         {"ESC/Bema", 4, 0x84, "ã"},         {"ESC/Bema", 5, 0xD5, "€"},
                         {"ESC/Bema", 6, 0x80, "А"},         {"Daruma", 1, 0xE3, "ã"},
                         {"Daruma", 2, 0xC6, "ã"},           {"Daruma", 3, 0x80, "€"},
                         {"Daruma", 4, 0x84, "ä"},           {"Generic ESC/POS", 3, 0x84, "ã"},
                         {"Generic ESC/POS", 6, 0x80, "€"},  {"Generic ESC/POS", 7, 0x80, "А"},
                         {"Generic ESC/POS", 9, 0xD5, "€"},  {"Generic ESC/POS", 10, 0xE1, "α"},
                         {"Generic ESC/POS", 11, 0x80, "Α"}, {"Generic ESC/POS", 13, 0xDD, "İ"},
                         {"Generic ESC/POS", 15, 0x80, "א"}, {"Generic ESC/POS", 16, 0xA3, "Ł"},
                         {"Elgin I9", 1, 0xE3, "ã"},         {"Elgin I9", 3, 0x84, "ä"},
                         {"Elgin I9", 4, 0x84, "ã"},         {"Elgin I9", 5, 0xD5, "€"}};
  TempHome home;
  InstallBundledSets(home);
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.set) + " table " + std::to_string(c.table));
    LineCollector lines;
    RCPosHark l(1);
    ASSERT_TRUE(l.SelectCmdSet(c.set));
    EXPECT_TRUE(l.GetCodeTableErrors().empty());
    ASSERT_TRUE(l.EnableCodeTables(true, "ibm-437"));
    l.SetGateOpenTime(0);
    l.ListenStart(&LineCollector::Callback, true);
    std::string bytes = c.table < 0 ? "" : std::string("\x1bt") + static_cast<char>(c.table);
    bytes += std::string("x") + static_cast<char>(c.byte) + "\n";
    l.GotData(static_cast<int>(bytes.size()), reinterpret_cast<unsigned char*>(bytes.data()));
    ASSERT_TRUE(l.EndOfInput(10000));
    ASSERT_FALSE(lines.Lines().empty());
    EXPECT_EQ(lines.Lines()[0].text, std::string("x") + c.text);
  }
}

}  // namespace

#endif
