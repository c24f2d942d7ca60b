#include "channel/TraceFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace poshark::tool {

namespace {

uint32_t ReadCount(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

bool TraceReader::Next(std::vector<unsigned char>& bytes, std::string& error) {
  error.clear();
  unsigned char head[4];
  size_t got = std::fread(head, 1, 4, stream_);
  std::string where =
      name_ + ": record " + std::to_string(number_ + 1) + " at offset " + std::to_string(offset_);
  if (got == 0) {
    if (std::ferror(stream_)) error = name_ + ": " + std::strerror(errno);
    return false;
  }
  if (got < 4) {
    error = where + ": truncated count (" + std::to_string(got) + " of 4 bytes)";
    return false;
  }
  uint32_t n = ReadCount(head);
  if (n < 1 || n > kMaxTraceRecord) {
    error = where + ": invalid byte count " + std::to_string(static_cast<int32_t>(n));
    return false;
  }
  bytes.resize(n);
  got = std::fread(bytes.data(), 1, n, stream_);
  if (got < n) {
    error = where + ": truncated, its count is " + std::to_string(n) + " but " +
            std::to_string(got) + " bytes follow";
    return false;
  }
  last_offset_ = offset_;
  offset_ += 4 + n;
  ++number_;
  return true;
}

bool LooksLikeTrace(FILE* stream) {
  struct stat st {};
  if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 5) return false;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  uint64_t pos = 0;
  bool ok = true;
  while (pos < size) {
    unsigned char head[4];
    if (size - pos < 4 || fseeko(stream, static_cast<off_t>(pos), SEEK_SET) != 0 ||
        std::fread(head, 1, 4, stream) != 4) {
      ok = false;
      break;
    }
    uint32_t n = ReadCount(head);
    if (n < 1 || n > kMaxTraceRecord || size - pos - 4 < n) {
      ok = false;
      break;
    }
    pos += 4 + uint64_t{n};
  }
  fseeko(stream, 0, SEEK_SET);
  return ok;
}

void DumpRecord(FILE* out, uint64_t number, uint64_t offset,
                const std::vector<unsigned char>& bytes) {
  std::fprintf(out, "record %llu: %zu bytes at offset %llu\n",
               static_cast<unsigned long long>(number), bytes.size(),
               static_cast<unsigned long long>(offset));
  for (size_t row = 0; row < bytes.size(); row += 16) {
    char hex[64] = {};
    char text[17] = {};
    size_t h = 0;
    for (size_t k = 0; k < 16; ++k) {
      if (row + k < bytes.size()) {
        unsigned char c = bytes[row + k];
        h += static_cast<size_t>(std::snprintf(hex + h, sizeof hex - h, "%02x ", c));
        text[k] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
      } else {
        h += static_cast<size_t>(std::snprintf(hex + h, sizeof hex - h, "   "));
      }
      if (k == 7) h += static_cast<size_t>(std::snprintf(hex + h, sizeof hex - h, " "));
    }
    std::fprintf(out, "  %06zx  %s |%s|\n", row, hex, text);
  }
}

}  // namespace poshark::tool
