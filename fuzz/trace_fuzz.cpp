// The reader behind `poshark trace dump` on arbitrary files: the structure
// check, then every record read and dumped as text, as the tool does.
#include "channel/TraceFile.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* in = ::fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (size == 0 || !in) {
    if (in) std::fclose(in);
    return 0;
  }
  static FILE* sink = std::fopen("/dev/null", "w");
  const bool looks = poshark::tool::LooksLikeTrace(in);
  if (std::ftell(in) != 0) std::abort();  // the check leaves the stream at its start

  poshark::tool::TraceReader reader(in, "fuzz.bin2");
  std::vector<unsigned char> bytes;
  std::string error;
  uint64_t total = 0;
  while (reader.Next(bytes, error)) {
    if (bytes.empty() || bytes.size() > poshark::tool::kMaxTraceRecord) std::abort();
    total += 4 + bytes.size();
    if (total > size) std::abort();  // never more than the file holds
    if (sink) poshark::tool::DumpRecord(sink, reader.RecordCount(), reader.LastOffset(), bytes);
  }
  // A file that passed the check reads to its end without an error.
  if (looks && (!error.empty() || total != size)) std::abort();
  std::fclose(in);
  return 0;
}
