// Raw trace files (.bin2): records of a 4-byte little-endian signed count N
// (N >= 1) and N bytes, exactly as the listener received them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace poshark::tool {

// Largest record the tool accepts; larger counts mark a corrupt file.
inline constexpr uint32_t kMaxTraceRecord = 16u * 1024 * 1024;

// Reads the records of a trace file one at a time, so that a file of any
// size needs one record's memory.
class TraceReader {
 public:
  // name is used in messages; the stream stays the caller's.
  TraceReader(FILE* stream, std::string name) : stream_(stream), name_(std::move(name)) {}

  // The next record into bytes. False at the end of the file (error empty)
  // or on a truncated or corrupt record (error names the file, the record
  // number and its offset).
  bool Next(std::vector<unsigned char>& bytes, std::string& error);

  uint64_t RecordCount() const { return number_; }
  // File offset of the record Next returned last.
  uint64_t LastOffset() const { return last_offset_; }

 private:
  FILE* stream_;
  std::string name_;
  uint64_t offset_ = 0;
  uint64_t number_ = 0;
  uint64_t last_offset_ = 0;
};

// True when a regular file has a trace file's structure: at least one
// record, every count between 1 and kMaxTraceRecord, the last record ending
// exactly at the end of the file. A raw ESC/POS stream practically never
// does (it starts with ESC @, which reads as a count near 0x2E1C401B).
// Leaves the stream at its start.
bool LooksLikeTrace(FILE* stream);

// Writes one record as text: its number, size and offset, then the bytes as
// hex and as printable characters, 16 per row.
void DumpRecord(FILE* out, uint64_t number, uint64_t offset,
                const std::vector<unsigned char>& bytes);

}  // namespace poshark::tool
