// The ESC/POS analyzer plug-in, loaded the way the listener loads it: the
// measures of length-prefixed commands, images, barcodes and barcode text.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Measure = int (*)(unsigned char*, int, int*, int*);
using Bytes = std::vector<unsigned char>;

Measure Get(const char* name) {
  static void* handle = dlopen(POSHARK_ESCPOS_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(handle, nullptr) << dlerror();
  auto fn = handle ? reinterpret_cast<Measure>(dlsym(handle, name)) : nullptr;
  EXPECT_NE(fn, nullptr) << name;
  return fn;
}

Bytes Concat(Bytes a, const Bytes& b, size_t fill = 0, unsigned char by = 0) {
  a.insert(a.end(), b.begin(), b.end());
  a.insert(a.end(), fill, by);
  return a;
}

TEST(EscPosPlugin, MeasuresWaitUntilCompleteThenCoverTheirCommand) {
  // QR model selection GS ( k pL pH cn fn m: 4 parameter bytes.
  const Bytes qr = {'k', 4, 0, 49, 65, 50, 0, 'T', 'X'};
  // ESC & y c1 c2: two characters of 3 columns each, y = 3.
  const Bytes chars = Concat(Concat({3, 65, 66, 3}, {}, 9, 0xAA), {3}, 9, 0x55);
  Bytes endless(400, '1');  // form A barcode without a NUL, longer than any barcode
  endless[0] = 4;
  // measure, bytes, answer, start and length (checked on 2)
  const std::tuple<const char*, Bytes, int, int, int> cases[] = {
      {"MeasureFnLen16", {'k', 4}, 1, 0, 0},
      {"MeasureFnLen16", {'k', 0, 0}, 2, 0, 3},  // an empty block ends with its length
      {"MeasureFnLen16", {qr.begin(), qr.begin() + 6}, 1, 0, 0},
      {"MeasureFnLen16", qr, 2, 0, 7},  // the text after it stays
      {"MeasureFnLen16", Concat({'k', 300 & 0xFF, 300 >> 8}, {}, 300, 'x'), 2, 0,
       303},                                                 // pH counts 256
      {"MeasureFnLen16", {'k', 0xFF, 0xFF, 1, 2}, 1, 0, 0},  // the longest still fits: waited for
      {"MeasureLen32", {0, 0, 0, 1, 9}, 3, 0, 0},  // longer than the analyzer holds: dropped
      {"MeasureLen32", {2, 0, 0, 0, 7, 8}, 2, 0, 6},
      // ESC * 33 with 2 columns of 3 bytes; ESC * 0 with 2 columns of 1 byte.
      {"MeasureBitImage", {33, 2, 0, 1, 2, 3, 4, 5, 6, 'A'}, 2, 0, 9},
      {"MeasureBitImage", {0, 2, 0, 1, 2, 'A'}, 2, 0, 5},
      // GS v 0 m xL xH yL yH: 2 bytes wide, 3 rows.
      {"MeasureRaster", {0, 2, 0, 3, 0, 1, 2, 3, 4, 5, 6}, 2, 0, 11},
      {"MeasureUserChars", {chars.begin(), chars.end() - 1}, 1, 0, 0},
      {"MeasureUserChars", chars, 2, 0, static_cast<int>(chars.size())},
      // DLE DC4 1 m t (pulse) and DLE DC4 8 with seven bytes.
      {"MeasureRealTime", {1, 0, 5}, 2, 0, 3},
      // NV memory: a write carries nL + 256 nH data bytes, a read none.
      {"MeasureNvMemory", {1, 0, 0, 0, 0, 0, 2, 0, 'a', 'b', 'X'}, 2, 0, 10},
      {"MeasureNvMemory", {2, 0, 0, 0, 0, 0, 5, 0, 'X'}, 2, 0, 8},
      {"MeasureRealTime", {8, 1, 3, 20, 1, 6}, 1, 0, 0},
      // Barcode form A: m = 2 (EAN-13), data up to and including the NUL.
      {"MeasureBarcode", {2, '1', '2', '3'}, 1, 0, 0},
      {"MeasureBarcode", {2, '1', '2', '3', 0, 'X'}, 2, 1, 4},
      // Form B: m = 73 (CODE128), n = 3.
      {"MeasureBarcode", {73, 3, 'a', 'b', 'c', 'X'}, 2, 2, 3},
      {"MeasureBarcode", endless, 3, 0, 0},
      // The QR codes of GS k in the Brazilian dialects, up to their NUL: m 11
      // ("M A , data"), m 81 (six settings, the version 0 among them, then
      // the data). Other forms are measured as MeasureBarcode does.
      {"MeasureBarcodeOrQr", {11, 'M', 'A', ',', 'u', 'r', 'l', 0, 'X'}, 2, 0, 8},
      {"MeasureBarcodeOrQr", {81, 2, 8, 0, 1, 6, 0, 'u', 'r', 'l'}, 1, 0, 0},
      {"MeasureBarcodeOrQr", {81, 2, 8, 0, 1, 6, 0, 'u', 'r', 'l', 0, 'X'}, 2, 0, 11},
      {"MeasureBarcodeOrQr", {73, 3, 'a', 'b', 'c', 'X'}, 2, 2, 3},
  };
  for (const auto& [name, given, result, want_start, want_length] : cases) {
    SCOPED_TRACE(::testing::Message() << name << " of " << given.size() << " bytes");
    Measure fn = Get(name);
    ASSERT_NE(fn, nullptr) << name;
    Bytes data = given;
    int start = 0, length = 0;
    ASSERT_EQ(fn(data.data(), static_cast<int>(data.size()), &start, &length), result);
    if (result == 2) {
      EXPECT_EQ(std::make_pair(start, length), std::make_pair(want_start, want_length));
    }
  }
}

TEST(EscPosPlugin, BarcodeTextDropsSelectorsAndDecodesCode128Sets) {
  Bytes longest(1024, '7');  // the longest block the transform takes
  longest[0] = 2;
  longest.back() = 0;
  const std::pair<Bytes, std::string> cases[] = {
      {longest, std::string(1022, '7')},
      {{2, '4', '0', '0', '6', 0}, "4006"},
      {{69, 3, 'A', 'B', 'C'}, "ABC"},
      {{73, 7, '{', 'B', 'R', 'E', 'T', '{', '{'}, "RET{"},
      // Code set C: each byte is two digits; then back to set B.
      {{73, 7, '{', 'C', 12, 5, 99, '{', 'B'}, "120599"},
      {{73, 6, '{', 'C', 0, 7, '{', 'B'}, "0007"},
  };
  Measure fn = Get("BarcodeText");
  Measure or_qr = Get("BarcodeOrQrText");
  for (const auto& [param, text] : cases) {
    // The plug-in may write its text into the block's second half.
    int count = static_cast<int>(param.size());
    Bytes block = Concat(param, {}, param.size(), 0xEE);
    int start = 0, length = count;
    ASSERT_EQ(fn ? fn(block.data(), count, &start, &length) : -1, 2) << text;
    ASSERT_TRUE(start >= 0 && start + length <= 2 * count) << text;
    EXPECT_EQ(std::string(block.begin() + start, block.begin() + start + length), text);
    // The transform beside the QR measure gives a barcode the same text.
    block = Concat(param, {}, param.size(), 0xEE);
    ASSERT_EQ(or_qr ? or_qr(block.data(), count, &start, &length) : -1, 2) << text;
    EXPECT_EQ(std::string(block.begin() + start, block.begin() + start + length), text);
  }
  // A QR code gives no text: the analyzer prints no line for it.
  for (Bytes qr : {Bytes{11, 'M', 'A', ',', 'u', 0}, Bytes{81, 2, 8, 0, 1, 4, 0, 'u', 0}}) {
    int start = 0, length = -1;
    qr.resize(2 * qr.size());
    ASSERT_EQ(or_qr ? or_qr(qr.data(), static_cast<int>(qr.size() / 2), &start, &length) : -1, 2);
    EXPECT_EQ(length, 0);
  }
}

}  // namespace
