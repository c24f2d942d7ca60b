// Trace files: reading records, recognising the structure, and the messages
// for truncated or corrupt files.
#include "TraceFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ToolProcess.h"

namespace poshark::tool {
namespace {

std::string Record(const std::string& bytes) {
  uint32_t n = static_cast<uint32_t>(bytes.size());
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return out + bytes;
}

struct MemFile {
  explicit MemFile(const std::string& data) : data_(data) {
    f = fmemopen(data_.data(), data_.size(), "rb");
  }
  ~MemFile() {
    if (f) std::fclose(f);
  }
  std::string data_;
  FILE* f = nullptr;
};

TEST(TraceFile, ReadsRecordsInOrderWithTheirOffsets) {
  MemFile m(Record("abc") + Record(std::string("\x1b@\n\x00x", 5)));
  TraceReader reader(m.f, "t.bin2");
  std::vector<unsigned char> rec;
  std::string error;
  ASSERT_TRUE(reader.Next(rec, error));
  EXPECT_EQ(std::string(rec.begin(), rec.end()), "abc");
  EXPECT_EQ(reader.LastOffset(), 0u);
  ASSERT_TRUE(reader.Next(rec, error));
  EXPECT_EQ(rec.size(), 5u);
  EXPECT_EQ(rec[4], 'x');
  EXPECT_EQ(reader.LastOffset(), 7u);
  EXPECT_FALSE(reader.Next(rec, error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(reader.RecordCount(), 2u);
}

TEST(TraceFile, TruncatedAndCorruptRecordsNameFileRecordAndOffset) {
  {
    MemFile m(Record("abc") + Record("defg").substr(0, 6));
    TraceReader reader(m.f, "cut.bin2");
    std::vector<unsigned char> rec;
    std::string error;
    ASSERT_TRUE(reader.Next(rec, error));
    EXPECT_FALSE(reader.Next(rec, error));
    EXPECT_EQ(error, "cut.bin2: record 2 at offset 7: truncated, its count is 4 but 2 bytes follow");
  }
  {
    MemFile m(Record("abc") + std::string("\x02\x00", 2));
    TraceReader reader(m.f, "short.bin2");
    std::vector<unsigned char> rec;
    std::string error;
    ASSERT_TRUE(reader.Next(rec, error));
    EXPECT_FALSE(reader.Next(rec, error));
    EXPECT_EQ(error, "short.bin2: record 2 at offset 7: truncated count (2 of 4 bytes)");
  }
  {
    MemFile m(std::string("\x00\x00\x00\x00", 4) + "x");
    TraceReader reader(m.f, "zero.bin2");
    std::vector<unsigned char> rec;
    std::string error;
    EXPECT_FALSE(reader.Next(rec, error));
    EXPECT_EQ(error, "zero.bin2: record 1 at offset 0: invalid byte count 0");
  }
  {
    MemFile m(std::string("\xff\xff\xff\xff", 4));
    TraceReader reader(m.f, "neg.bin2");
    std::vector<unsigned char> rec;
    std::string error;
    EXPECT_FALSE(reader.Next(rec, error));
    EXPECT_EQ(error, "neg.bin2: record 1 at offset 0: invalid byte count -1");
  }
}

TEST(TraceFile, RecognisesTraceStructureButNotRawStreams) {
  poshark_test::TempDir dir;
  auto check = [&](const std::string& data) {
    poshark_test::WriteFile(dir / "f", data);
    FILE* f = std::fopen((dir / "f").c_str(), "rb");
    bool r = LooksLikeTrace(f);
    // The stream is left at its start.
    EXPECT_EQ(std::ftell(f), 0);
    std::fclose(f);
    return r;
  };
  EXPECT_TRUE(check(Record("hello\n") + Record("x")));
  EXPECT_FALSE(check(Record("hello\n") + Record("x") + "y"));     // trailing byte
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
