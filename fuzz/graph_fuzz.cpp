// Graph decoding on arbitrary bytes in chunks of varying size: the sequence
// state carries from chunk to chunk, and the output of one chunk never
// passes the graph buffer. Input: one byte that seeds the chunk sizes, then
// the data.
#include "FuzzSupport.h"
#include "listener/TestAccess.h"

#include <poshark/RCPosHark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  poshark_fuzz::Home();
  static std::unique_ptr<RCPosHark> listener = std::make_unique<RCPosHark>(2);
  poshark_fuzz::Chunker chunks(data[0]);
  for (size_t at = 1, n = 0; at < size; at += n) {
    n = std::min(chunks.Next(4096), size - at);
    std::vector<unsigned char> out =
        RCPosHarkTestAccess::DecodeGraph(*listener, {data + at, data + at + n});
    // Every output byte comes from a sequence of at least one input byte,
    // and one sequence gives at most four bytes.
    if (out.size() > 4 * n + 4) std::abort();
    if (RCPosHarkTestAccess::SeqLeft(*listener) < 0 || RCPosHarkTestAccess::SeqLeft(*listener) > 3)
      std::abort();
  }
  // A sequence left open must not leak into the next input.
  RCPosHarkTestAccess::DecodeGraph(*listener, std::vector<unsigned char>(4, 0x20));
  return 0;
}
