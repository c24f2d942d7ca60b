// Analyzer plug-in of the ESC/POS command set ("Printer Commands/ESCPOS.ini"),
// of the sets of its dialects (ESCPOS_Bema.ini, ESCPOS_Daruma.ini, ESCPOS_Generic.ini,
// ESCPOS_I9.ini) and of the two Star sets (StarLine.ini, StarPRNT.ini).
//
// Measures the parameters of commands whose length is carried in the data
// (length bytes, image dimensions, NUL- or RS-terminated barcode data), and
// turns barcode parameters into readable barcode text.
//
// Contract of every Measure* entry (called on the listener's analyzer thread):
//   data   the bytes right after the command bytes
//   count  bytes available from there to the end of the analysis buffer
//   start, length  out: the parameter is length bytes, start bytes after data
// Answers 1 when more bytes are needed, 2 when complete, 3 when the command
// can never fit the analyzer's buffer (it is dropped with the rest of its
// chunk). No entry reads beyond count bytes or keeps state between calls.
#include <cstdint>
#include <cstring>

namespace {

constexpr int kMore = 1;
constexpr int kDone = 2;
constexpr int kDiscard = 3;

// The analyzer holds at most 100000 bytes; a parameter longer than this can
// never be complete there.
constexpr int64_t kMaxParam = 90000;

// The QR codes that the ESC/Bema dialect sends through GS k: m 11 (a
// NUL-terminated "error mode, data" string) and m 81 ('Q': error, size,
// version, encoding, nL nH, the data and a NUL). They print no text.
constexpr unsigned char kQrNul = 11;
constexpr unsigned char kQrBema = 81;
constexpr int kQrBemaHead = 7;    // m and its six settings
constexpr int kMaxQrData = 8192;  // more than a QR code holds

int Answer(int64_t total, int count, int* start, int* length) {
  if (total > kMaxParam) return kDiscard;
  if (total > count) return kMore;
  *start = 0;
  *length = static_cast<int>(total);
  return kDone;
}

bool Usable(const unsigned char* data, int count, const int* start, const int* length) {
  return (data != nullptr || count == 0) && count >= 0 && start != nullptr && length != nullptr;
}

}  // namespace

extern "C" {

// fn pL pH d1..dk with k = pL + 256 pH: GS ( x, ESC ( x, FS ( x.
__attribute__((visibility("default"))) int MeasureFnLen16(unsigned char* data, int count,
                                                          int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 3) return kMore;
  return Answer(3 + int64_t{data[1]} + 256 * int64_t{data[2]}, count, start, length);
}

// p1 p2 p3 p4 d1..dk with k = p1 + p2 * 2^8 + p3 * 2^16 + p4 * 2^24: GS 8 L.
__attribute__((visibility("default"))) int MeasureLen32(unsigned char* data, int count, int* start,
                                                        int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 4) return kMore;
  int64_t k =
      int64_t{data[0]} | int64_t{data[1]} << 8 | int64_t{data[2]} << 16 | int64_t{data[3]} << 24;
  return Answer(4 + k, count, start, length);
}

// m nL nH d1..dk: ESC *; k columns of one byte (m 0, 1) or three bytes
// (m 32, 33).
__attribute__((visibility("default"))) int MeasureBitImage(unsigned char* data, int count,
                                                           int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 3) return kMore;
  int64_t columns = int64_t{data[1]} + 256 * int64_t{data[2]};
  int64_t per_column = (data[0] == 32 || data[0] == 33) ? 3 : 1;
  return Answer(3 + columns * per_column, count, start, length);
}

// m xL xH yL yH d1..dk with k = (xL + 256 xH) * (yL + 256 yH): GS v 0, GS Q 0.
__attribute__((visibility("default"))) int MeasureRaster(unsigned char* data, int count, int* start,
                                                         int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 5) return kMore;
  int64_t x = int64_t{data[1]} + 256 * int64_t{data[2]};
  int64_t y = int64_t{data[3]} + 256 * int64_t{data[4]};
  return Answer(5 + x * y, count, start, length);
}

// x y d1..dk with k = x * y * 8: GS * (downloaded bit image).
__attribute__((visibility("default"))) int MeasureDownloadImage(unsigned char* data, int count,
                                                                int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 2) return kMore;
  return Answer(2 + int64_t{data[0]} * data[1] * 8, count, start, length);
}

// y c1 c2 then, for each character c1..c2, x and y * x bytes: ESC &.
__attribute__((visibility("default"))) int MeasureUserChars(unsigned char* data, int count,
                                                            int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 3) return kMore;
  int64_t y = data[0];
  int chars = data[2] >= data[1] ? data[2] - data[1] + 1 : 0;
  int64_t pos = 3;
  for (int i = 0; i < chars; ++i) {
    if (pos >= count) return kMore;
    pos += 1 + y * data[pos];
    if (pos > kMaxParam) return kDiscard;
  }
  return Answer(pos, count, start, length);
}

// n then, for each of n images, xL xH yL yH and x * y * 8 bytes: FS q.
__attribute__((visibility("default"))) int MeasureNvImage(unsigned char* data, int count,
                                                          int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 1) return kMore;
  int64_t pos = 1;
  for (int i = 0; i < data[0]; ++i) {
    if (pos + 4 > count) return kMore;
    int64_t x = int64_t{data[pos]} + 256 * int64_t{data[pos + 1]};
    int64_t y = int64_t{data[pos + 2]} + 256 * int64_t{data[pos + 3]};
    pos += 4 + x * y * 8;
    if (pos > kMaxParam) return kDiscard;
  }
  return Answer(pos, count, start, length);
}

// FS g 1 m a1 a2 a3 a4 nL nH d1..dk (write) or FS g 2 m a1 a2 a3 a4 nL nH
// (read): NV user memory.
__attribute__((visibility("default"))) int MeasureNvMemory(unsigned char* data, int count,
                                                           int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 8) return kMore;
  int64_t k = int64_t{data[6]} + 256 * int64_t{data[7]};
  return Answer(data[0] == 1 ? 8 + k : 8, count, start, length);
}

// fn and its fixed parameters: DLE DC4 (pulse, power off, buzzer, clear).
__attribute__((visibility("default"))) int MeasureRealTime(unsigned char* data, int count,
                                                           int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 1) return kMore;
  int total = 1;
  switch (data[0]) {
    case 1:
    case 2:
      total = 3;
      break;
    case 3:
      total = 6;
      break;
    case 7:
      total = 2;
      break;
    case 8:
      total = 8;
      break;
    default:
      total = 1;
      break;
  }
  return Answer(total, count, start, length);
}

// GS k m d1..dk NUL (m 0..6) or GS k m n d1..dn (m 65 and above). The
// parameter keeps the NUL of the first form, so that it is removed with the
// barcode; BarcodeText drops it from the barcode text.
__attribute__((visibility("default"))) int MeasureBarcode(unsigned char* data, int count,
                                                          int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 1) return kMore;
  if (data[0] <= 6) {
    const void* nul = std::memchr(data + 1, 0, static_cast<size_t>(count - 1));
    if (nul == nullptr) return count > 256 ? kDiscard : kMore;
    *start = 1;
    *length = static_cast<int>(static_cast<const unsigned char*>(nul) - data);
    return kDone;
  }
  if (count < 2) return kMore;
  if (2 + data[1] > count) return kMore;
  *start = 2;
  *length = data[1];
  return kDone;
}

// Barcode transform. buffer holds count bytes (the selector m, the length
// byte of the second form, the data and the NUL of the first form) in a
// block of 2 * count bytes. Writes the readable data at the start of the
// block: CODE128 (m 73) loses its code set selections and shifts, code set C
// pairs become two digits each, "{{" becomes "{".
__attribute__((visibility("default"))) int BarcodeText(unsigned char* buffer, int count,
                                                       int* out_start, int* out_length) {
  if (buffer == nullptr || out_start == nullptr || out_length == nullptr || count < 1 ||
      count > 1024) {
    return 0;
  }
  unsigned char m = buffer[0];
  int begin = 0;
  int end = 0;
  if (m <= 6) {
    begin = 1;
    end = count;
    if (end > begin && buffer[end - 1] == 0) --end;
  } else {
    if (count < 2) return 0;
    begin = 2;
    end = 2 + buffer[1];
    if (end > count) return 0;
  }
  if (m != 73) {
    *out_start = begin;
    *out_length = end - begin;
    return kDone;
  }
  unsigned char in[1024];
  int n = end - begin;
  std::memcpy(in, buffer + begin, static_cast<size_t>(n));
  int out = 0;
  bool set_c = false;
  // Each input byte yields at most two output bytes; 2 * n <= 2 * count.
  for (int i = 0; i < n; ++i) {
    unsigned char b = in[i];
    if (b == '{' && i + 1 < n) {
      unsigned char sel = in[++i];
      if (sel == '{') {
        buffer[out++] = '{';
      } else if (sel == 'C') {
        set_c = true;
      } else if (sel == 'A' || sel == 'B') {
        set_c = false;
      }
      continue;  // FNC1..4 and SHIFT print nothing
    }
    if (set_c && b < 100) {
      buffer[out++] = static_cast<unsigned char>('0' + b / 10);
      buffer[out++] = static_cast<unsigned char>('0' + b % 10);
    } else {
      buffer[out++] = b;
    }
  }
  *out_start = 0;
  *out_length = out;
  return kDone;
}

// GS k as MeasureBarcode reads it, and the two QR forms above.
__attribute__((visibility("default"))) int MeasureBarcodeOrQr(unsigned char* data, int count,
                                                              int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 1) return kMore;
  if (data[0] != kQrNul && data[0] != kQrBema) return MeasureBarcode(data, count, start, length);
  const int from = data[0] == kQrNul ? 1 : kQrBemaHead;
  if (count <= from) return kMore;
  const void* nul = std::memchr(data + from, 0, static_cast<size_t>(count - from));
  if (nul == nullptr) return count > kMaxQrData ? kDiscard : kMore;
  *start = 0;
  *length = static_cast<int>(static_cast<const unsigned char*>(nul) - data) + 1;
  return kDone;
}

// Barcode transform beside MeasureBarcodeOrQr: a QR code gives no text (no
// line), a barcode what BarcodeText gives.
__attribute__((visibility("default"))) int BarcodeOrQrText(unsigned char* buffer, int count,
                                                           int* out_start, int* out_length) {
  if (buffer == nullptr || out_start == nullptr || out_length == nullptr || count < 1) return 0;
  if (buffer[0] != kQrNul && buffer[0] != kQrBema)
    return BarcodeText(buffer, count, out_start, out_length);
  *out_start = 0;
  *out_length = 0;
  return kDone;
}

// nL nH d1..dk with k = nL + 256 nH: Star ESC GS x D (PDF417 data), the
// Daruma QR code ESC 0x81.
__attribute__((visibility("default"))) int MeasureLen16(unsigned char* data, int count, int* start,
                                                        int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 2) return kMore;
  return Answer(2 + int64_t{data[0]} + 256 * int64_t{data[1]}, count, start, length);
}

// nL nH d1..dk with k = 3 (nL + 256 nH): Star ESC X and Daruma's ESC * 'm',
// 24-dot columns.
__attribute__((visibility("default"))) int MeasureStarImage24(unsigned char* data, int count,
                                                              int* start, int* length) {
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count < 2) return kMore;
  return Answer(2 + 3 * (int64_t{data[0]} + 256 * int64_t{data[1]}), count, start, length);
}

// n1 n2 n3 n4 d1..dk RS: Star ESC b. The parameter keeps the four settings
// and the RS, so that they go with the barcode; StarBarcodeText keeps the
// data alone.
__attribute__((visibility("default"))) int MeasureStarBarcode(unsigned char* data, int count,
                                                              int* start, int* length) {
  constexpr unsigned char kRS = 0x1E;
  constexpr int kSettings = 4;
  if (!Usable(data, count, start, length)) return kDiscard;
  if (count <= kSettings) return kMore;
  const void* rs = std::memchr(data + kSettings, kRS, static_cast<size_t>(count - kSettings));
  if (rs == nullptr) return count > 256 ? kDiscard : kMore;
  *start = 0;
  *length = static_cast<int>(static_cast<const unsigned char*>(rs) - data) + 1;
  return kDone;
}

// Barcode transform of the Star sets: the data between the four settings
// and the RS.
__attribute__((visibility("default"))) int StarBarcodeText(unsigned char* buffer, int count,
                                                           int* out_start, int* out_length) {
  constexpr int kSettings = 4;
  if (buffer == nullptr || out_start == nullptr || out_length == nullptr || count <= kSettings) {
    return 0;
  }
  *out_start = kSettings;
  *out_length = count - kSettings - 1;
  return kDone;
}

}  // extern "C"
