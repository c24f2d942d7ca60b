// Graph decoding of "bGraphMode" streams.
//
// A graph-mode POS sends each 16-bit character w as a value
// v = ((w XOR (1 << k)) << 4) | k, written as a UTF-8-like sequence of one
// to four bytes. The decoder collects the sequences (also across chunks),
// recovers w and converts it to the configured ANSI code page.
//
// Contract: Decode leaves its output in Output()/OutputLen(), at most
// kGraphOutRoom bytes; a sequence split across calls is finished by the call
// that brings its last byte. Malformed input never stops decoding.
// Locking: none; one thread (the byte intake's) uses a decoder at a time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

namespace poshark::platform {
class CodePage;
}

namespace poshark::commands {

// Room of the output buffer.
inline constexpr int kGraphOutRoom = 50001;

class GraphDecoder {
 public:
  GraphDecoder();
  ~GraphDecoder();
  GraphDecoder(const GraphDecoder&) = delete;
  GraphDecoder& operator=(const GraphDecoder&) = delete;

  // Makes the output buffer ready (allocated or zeroed) and forgets any
  // sequence under way.
  void Reset();
  bool Ready() const { return pOut_ != nullptr; }

  // Decodes nLen bytes into the output; the output starts empty on every call.
  void Decode(int nLen, const unsigned char* pData);
  // Decodes in slices whose output always fits, handing each slice's output
  // to cut.
  void DecodeInSlices(int nLen, const unsigned char* pData,
                      const std::function<void(const unsigned char*, int)>& cut);
  const unsigned char* Output() const { return pOut_.get(); }
  int OutputLen() const { return nOutLen_; }
  // Continuation bytes still expected by the sequence under way (0 to 3).
  int SeqLeft() const { return nSeqLeft_; }

  // Converts one finished sequence in place; answers the bytes now in it.
  int DecodeChar(unsigned char* pSeq);

 private:
  // Memo of the conversions of 16-bit characters for one page, in rows of
  // 256 characters allocated on first use: the code-page call (and its lock)
  // is paid once per character. An entry holds 0 when unknown, otherwise
  // 0x80000000 | (count << 24) | the bytes, for counts up to 3.
  class CharMemo {
   public:
    int Convert(const platform::CodePage* pPage, uint32_t w, unsigned char* pOut);

   private:
    const platform::CodePage* pPage_ = nullptr;
    std::array<std::unique_ptr<uint32_t[]>, 256> rows_;
  };

  void FinishSequence(const platform::CodePage* pPage);

  std::unique_ptr<unsigned char[]> pOut_;
  int nOutLen_ = 0;
  unsigned char bySeq_[4] = {};  // the sequence being collected
  int nSeqLen_ = 0;
  int nSeqLeft_ = 0;
  CharMemo memo_;
};

}  // namespace poshark::commands
