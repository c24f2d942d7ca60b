// Shared helpers of the fuzz targets: a private home and work folder for
// the files a target writes, and a small deterministic splitter that turns
// one input into several parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/TempHome.h"

namespace poshark_fuzz {

// One temporary home and work folder per process (POSHARK_HOME and
// POSHARK_WORKDIR), with an empty "Printer Commands" folder; removed at exit.
inline const poshark::testing::TempHome& Home() {
  static const poshark::testing::TempHome home;
  return home;
}

// Splits the input at the first "\n@@\n": the head is a configuration text
// (a command set, keys), the tail the data fed through it. Without the
// separator the whole input is the head.
struct Parts {
  std::string_view head, tail;
};
inline Parts Split(const uint8_t* data, size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  size_t at = all.find("\n@@\n");
  if (at == std::string_view::npos) return {all, {}};
  return {all.substr(0, at + 1), all.substr(at + 4)};
}

// Deterministic chunk sizes from a seed byte, so that a finding replays.
class Chunker {
 public:
  explicit Chunker(uint32_t seed) : state_(seed * 2654435761u + 0x9E3779B9u) {}
  // A size in 1..max (max >= 1); small sizes are as likely as large ones.
  size_t Next(size_t max) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    size_t limit = (state_ & 1) ? 8 : max;  // half of the chunks are tiny
    return 1 + (state_ >> 1) % (limit < max ? limit : max);
  }

 private:
  uint32_t state_;
};

}  // namespace poshark_fuzz
