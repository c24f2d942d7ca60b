// The ESC/POS analyzer plug-in, loaded the way the listener loads it: the
// measures of length-prefixed commands and the barcode text.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Measure = int (*)(unsigned char*, int, int*, int*);

class EscPosPlugin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { handle_ = dlopen(POSHARK_ESCPOS_PLUGIN, RTLD_NOW | RTLD_LOCAL); }
  static void TearDownTestSuite() {
    if (handle_) dlclose(handle_);
  }
  Measure Get(const char* name) {
    EXPECT_NE(handle_, nullptr) << dlerror();
    auto fn = handle_ ? reinterpret_cast<Measure>(dlsym(handle_, name)) : nullptr;
    EXPECT_NE(fn, nullptr) << name;
    return fn;
  }
  // Calls a measure on the given bytes; answers the result and fills start
  // and length.
  int Call(const char* name, std::vector<unsigned char> data, int& start, int& length) {
    start = 0;
    length = 0;
    Measure fn = Get(name);
    return fn ? fn(data.data(), static_cast<int>(data.size()), &start, &length) : -1;
  }
  static void* handle_;
};
void* EscPosPlugin::handle_ = nullptr;

TEST_F(EscPosPlugin, LengthPrefixedFunctionsWaitUntilCompleteThenCoverTheirLength) {
  // GS ( k pL pH cn fn m: the QR model selection, 4 parameter bytes.
  std::vector<unsigned char> qr = {'k', 4, 0, 49, 65, 50, 0, 'T', 'X'};
  int start = 0, length = 0;
  for (int have = 0; have < 7; ++have) {
    EXPECT_EQ(Call("MeasureFnLen16", {qr.begin(), qr.begin() + have}, start, length), 1) << have;
  }
  EXPECT_EQ(Call("MeasureFnLen16", qr, start, length), 2);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(length, 7);  // the text after it stays
  // pH counts 256: a 300-byte store command.
  std::vector<unsigned char> big(3 + 300, 'x');
  big[0] = 'k';
  big[1] = 300 & 0xFF;
  big[2] = 300 >> 8;
  EXPECT_EQ(Call("MeasureFnLen16", big, start, length), 2);
  EXPECT_EQ(length, 303);
  // The longest such command still fits the analyzer: waited for.
  EXPECT_EQ(Call("MeasureFnLen16", {'k', 0xFF, 0xFF, 1, 2}, start, length), 1);
  // Longer than the analyzer can ever hold: dropped, not waited for.
  EXPECT_EQ(Call("MeasureLen32", {0, 0, 0, 1, 9}, start, length), 3);
  EXPECT_EQ(Call("MeasureLen32", {2, 0, 0, 0, 7, 8}, start, length), 2);
  EXPECT_EQ(length, 6);
}

TEST_F(EscPosPlugin, ImagesAreMeasuredFromTheirDimensions) {
  int start = 0, length = 0;
  // ESC * 33 with 2 columns of 3 bytes; ESC * 0 with 2 columns of 1 byte.
  EXPECT_EQ(Call("MeasureBitImage", {33, 2, 0, 1, 2, 3, 4, 5}, start, length), 1);
  EXPECT_EQ(Call("MeasureBitImage", {33, 2, 0, 1, 2, 3, 4, 5, 6, 'A'}, start, length), 2);
  EXPECT_EQ(length, 9);
  EXPECT_EQ(Call("MeasureBitImage", {0, 2, 0, 1, 2, 'A'}, start, length), 2);
  EXPECT_EQ(length, 5);
  // GS v 0 m xL xH yL yH: 2 bytes wide, 3 rows.
  std::vector<unsigned char> raster = {0, 2, 0, 3, 0, 1, 2, 3, 4, 5, 6};
  EXPECT_EQ(Call("MeasureRaster", {raster.begin(), raster.end() - 1}, start, length), 1);
  EXPECT_EQ(Call("MeasureRaster", raster, start, length), 2);
  EXPECT_EQ(length, 11);
  // ESC & y c1 c2: two characters of 3 columns each, y = 3.
  std::vector<unsigned char> chars = {3, 65, 66, 3};
  chars.insert(chars.end(), 9, 0xAA);
  chars.push_back(3);
  chars.insert(chars.end(), 9, 0x55);
  EXPECT_EQ(Call("MeasureUserChars", {chars.begin(), chars.end() - 1}, start, length), 1);
  EXPECT_EQ(Call("MeasureUserChars", chars, start, length), 2);
  EXPECT_EQ(length, static_cast<int>(chars.size()));
  // DLE DC4 1 m t (pulse) and DLE DC4 8 with seven bytes.
  EXPECT_EQ(Call("MeasureRealTime", {1, 0, 5}, start, length), 2);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(Call("MeasureRealTime", {8, 1, 3, 20, 1, 6}, start, length), 1);
}

TEST_F(EscPosPlugin, BarcodesOfBothFormsAreMeasuredWithTheirSelector) {
  int start = 0, length = 0;
  // Form A: m = 2 (EAN-13), data up to and including the NUL.
  EXPECT_EQ(Call("MeasureBarcode", {2, '1', '2', '3'}, start, length), 1);
  EXPECT_EQ(Call("MeasureBarcode", {2, '1', '2', '3', 0, 'X'}, start, length), 2);
  EXPECT_EQ(start, 1);
  EXPECT_EQ(length, 4);
  // Form B: m = 73 (CODE128), n = 3.
  EXPECT_EQ(Call("MeasureBarcode", {73, 3, 'a', 'b'}, start, length), 1);
  EXPECT_EQ(Call("MeasureBarcode", {73, 3, 'a', 'b', 'c', 'X'}, start, length), 2);
  EXPECT_EQ(start, 2);
  EXPECT_EQ(length, 3);
  // Form A without a NUL in far more bytes than any barcode has.
  std::vector<unsigned char> endless(400, '1');
  endless[0] = 4;
  EXPECT_EQ(Call("MeasureBarcode", endless, start, length), 3);
}

TEST_F(EscPosPlugin, BarcodeTextDropsSelectorsAndDecodesCode128Sets) {
  auto text = [&](std::vector<unsigned char> param) {
    int count = static_cast<int>(param.size());
    std::vector<unsigned char> block(param);
    block.resize(2 * param.size(), 0xEE);
    int start = 0;
    int length = count;
    Measure fn = Get("BarcodeText");
    int r = fn ? fn(block.data(), count, &start, &length) : -1;
    EXPECT_EQ(r, 2);
    EXPECT_GE(start, 0);
    EXPECT_LE(start + length, 2 * count);
    return std::string(block.begin() + start, block.begin() + start + length);
  };
  EXPECT_EQ(text({2, '4', '0', '0', '6', 0}), "4006");
  EXPECT_EQ(text({69, 3, 'A', 'B', 'C'}), "ABC");
  EXPECT_EQ(text({73, 7, '{', 'B', 'R', 'E', 'T', '{', '{'}), "RET{");
  // Code set C: each byte is two digits; then back to set B.
  EXPECT_EQ(text({73, 7, '{', 'C', 12, 5, 99, '{', 'B'}), "120599");
  EXPECT_EQ(text({73, 6, '{', 'C', 0, 7, '{', 'B'}), "0007");
}

}  // namespace
