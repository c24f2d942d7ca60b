// Trace files: reading records, recognising the structure, and the messages
// for truncated or corrupt files.
#include "TraceFile.h"

#include <gtest/gtest.h>

#include "ToolProcess.h"

namespace poshark::tool {
namespace {

using poshark_test::TraceRecord;

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
      ReadAll(TraceRecord("abc") + TraceRecord(std::string("\x1b@\n\x00x", 5)), "t.bin2", &offsets);
  EXPECT_EQ(records, (std::vector<std::string>{"abc", std::string("\x1b@\n\x00x", 5)}));
  EXPECT_EQ(offsets, (std::vector<size_t>{0, 7}));
  EXPECT_EQ(error, "");
  const std::pair<std::string, std::string> damaged[] = {
      {TraceRecord("abc") + TraceRecord("defg").substr(0, 6),
       "f.bin2: record 2 at offset 7: truncated, its count is 4 but 2 bytes follow"},
      {TraceRecord("abc") + std::string("\x02\x00", 2),
       "f.bin2: record 2 at offset 7: truncated count (2 of 4 bytes)"},
      {std::string("\x00\x00\x00\x00x", 5), "f.bin2: record 1 at offset 0: invalid byte count 0"},
      {std::string("\xff\xff\xff\xff", 4), "f.bin2: record 1 at offset 0: invalid byte count -1"},
  };
  for (const auto& [data, message] : damaged) EXPECT_EQ(ReadAll(data, "f.bin2").second, message);
}

// A raw stream is never taken for a trace: the sample receipts show that
// through the tool, the fuzz corpus that the check leaves the stream alone.
TEST(TraceFile, RecognisesTheStructureOnlyWhereEveryCountFitsTheFile) {
  poshark_test::TempDir dir;
  auto check = [&](const std::string& data) {
    poshark_test::WriteFile(dir / "f", data);
    FILE* f = std::fopen((dir / "f").c_str(), "rb");
    bool r = LooksLikeTrace(f);
    std::fclose(f);
    return r;
  };
  EXPECT_TRUE(check(TraceRecord("hello\n") + TraceRecord("x")));
  EXPECT_FALSE(check(TraceRecord("hello\n") + TraceRecord("x") + "y"));           // trailing byte
  EXPECT_FALSE(check(TraceRecord("hello\n") + TraceRecord("xyz").substr(0, 5)));  // overshoot
  EXPECT_FALSE(check(""));
}

}  // namespace
}  // namespace poshark::tool
