// Trace files: reading records, recognising the structure, and the messages
// for truncated or corrupt files.
#include "TraceFile.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "ToolProcess.h"

namespace poshark::tool {
namespace {

std::string Record(const std::string& bytes) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((bytes.size() >> (8 * i)) & 0xFF);
  return out + bytes;
}

// Reads every record of the data; answers them and the final error.
std::pair<std::vector<std::string>, std::string> ReadAll(std::string data, const char* name,
                                                         std::vector<size_t>* offsets = nullptr) {
  FILE* f = fmemopen(data.data(), data.size(), "rb");
  TraceReader reader(f, name);
  std::vector<std::string> records;
  std::vector<unsigned char> rec;
  std::string error;
  while (reader.Next(rec, error)) {
    records.emplace_back(rec.begin(), rec.end());
    if (offsets) offsets->push_back(reader.LastOffset());
  }
  EXPECT_EQ(reader.RecordCount(), records.size());
  std::fclose(f);
  return {records, error};
}

TEST(TraceFile, ReadsRecordsAndNamesFileRecordAndOffsetOfDamage) {
  std::vector<size_t> offsets;
  auto [records, error] =
      ReadAll(Record("abc") + Record(std::string("\x1b@\n\x00x", 5)), "t.bin2", &offsets);
  EXPECT_EQ(records, (std::vector<std::string>{"abc", std::string("\x1b@\n\x00x", 5)}));
  EXPECT_EQ(offsets, (std::vector<size_t>{0, 7}));
  EXPECT_EQ(error, "");
  const std::pair<std::string, std::string> damaged[] = {
      {Record("abc") + Record("defg").substr(0, 6),
       "f.bin2: record 2 at offset 7: truncated, its count is 4 but 2 bytes follow"},
      {Record("abc") + std::string("\x02\x00", 2),
       "f.bin2: record 2 at offset 7: truncated count (2 of 4 bytes)"},
      {std::string("\x00\x00\x00\x00x", 5), "f.bin2: record 1 at offset 0: invalid byte count 0"},
      {std::string("\xff\xff\xff\xff", 4), "f.bin2: record 1 at offset 0: invalid byte count -1"},
  };
  for (const auto& [data, message] : damaged) EXPECT_EQ(ReadAll(data, "f.bin2").second, message);
}

TEST(TraceFile, RecognisesTraceStructureButNotRawStreams) {
  poshark_test::TempDir dir;
  auto check = [&](const std::string& data) {
    poshark_test::WriteFile(dir / "f", data);
    FILE* f = std::fopen((dir / "f").c_str(), "rb");
    bool r = LooksLikeTrace(f);
    EXPECT_EQ(std::ftell(f), 0);  // the stream is left at its start
    std::fclose(f);
    return r;
  };
  EXPECT_TRUE(check(Record("hello\n") + Record("x")));
  EXPECT_FALSE(check(Record("hello\n") + Record("x") + "y"));           // trailing byte
  EXPECT_FALSE(check(Record("hello\n") + Record("xyz").substr(0, 5)));  // overshoot
  EXPECT_FALSE(check(""));
  for (const char* name : {"plain", "latin", "hebrew", "barcodes", "qrcode", "void", "long"}) {
    std::string raw = poshark_test::ReadFile(poshark_test::ReceiptsDir() + "/" + name + ".bin");
    ASSERT_FALSE(raw.empty()) << name;
    EXPECT_FALSE(check(raw)) << name;
  }
}

}  // namespace
}  // namespace poshark::tool
