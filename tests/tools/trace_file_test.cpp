// Trace files: reading records, recognising the structure, and the messages
// for truncated or corrupt files.
#include "TraceFile.h"

#include <gtest/gtest.h>

#include "ToolProcess.h"

namespace poshark::tool {
namespace {

using poshark_test::TraceRecord;

// A raw stream is never taken for a trace: the sample receipts show that
// through the tool, the fuzz corpus that the check leaves the stream alone.
TEST(TraceFile, RecordsAreReadDamageIsNamedAndOnlyWholeTracesAreRecognised) {
  const std::string esc("\x1b@\n\x00x", 5);
  const struct {
    std::string data;
    std::vector<std::string> records;
    std::string error;
  } kCases[] = {
      {TraceRecord("abc") + TraceRecord(esc), {"abc", esc}, ""},
      {"", {}, ""},
      {TraceRecord("abc") + TraceRecord("defg").substr(0, 6),
       {"abc"},
       "f.bin2: record 2 at offset 7: truncated, its count is 4 but 2 bytes follow"},
      {TraceRecord("abc") + std::string("\x02\x00", 2),
       {"abc"},
       "f.bin2: record 2 at offset 7: truncated count (2 of 4 bytes)"},
      {std::string("\x00\x00\x00\x00x", 5),
       {},
       "f.bin2: record 1 at offset 0: invalid byte count 0"},
      {std::string("\xff\xff\xff\xff", 4),
       {},
       "f.bin2: record 1 at offset 0: invalid byte count -1"},
  };
  poshark_test::TempDir dir;
  for (const auto& c : kCases) {
    dir.Write("f.bin2", c.data);
    FILE* f = std::fopen((dir / "f.bin2").c_str(), "rb");
    EXPECT_EQ(LooksLikeTrace(f), c.error.empty() && !c.data.empty()) << c.error;
    TraceReader reader(f, "f.bin2");
    std::vector<std::string> records;
    std::vector<unsigned char> record;
    std::string error;
    while (reader.Next(record, error)) records.emplace_back(record.begin(), record.end());
    EXPECT_EQ(reader.RecordCount(), records.size());
    EXPECT_EQ(records, c.records) << c.error;
    EXPECT_EQ(error, c.error);
    std::fclose(f);
  }
}

}  // namespace
}  // namespace poshark::tool
