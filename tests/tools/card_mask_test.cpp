// Card-number masking: the schemes' published test numbers are masked to
// their last four digits; dates, amounts, phone numbers and article codes
// stay as they are, also where they pass the Luhn check. The same code as
// the output-filter plug-in, loaded the way a listener loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "CardMask.h"

namespace {

const std::pair<const char*, const char*> kMasked[] = {
    {"VISA 4111 1111 1111 1111", "VISA **** **** **** 1111"},
    {"4000000000000000006", "***************0006"},  // 19 digits
    {"MC 5555-5555-5555-4444 OK", "MC ****-****-****-4444 OK"},
    {"AMEX 3782 822463 10005", "AMEX **** ****** *0005"},
    {"6011111111111117", "************1117"},        // Discover
    {"DC 3056 930902 5904", "DC **** ****** 5904"},  // Diners Club, 14 digits
    {"CARD:4111111111111111 EXP 12/29", "CARD:************1111 EXP 12/29"},
    {"4111111111111111 and 5555555555554444", "************1111 and ************4444"},
};

const char* const kLeftAlone[] = {
    "2024-03-14 09:41:02",    "TOTAL 1234567.89", "+49 30 12345678", "0800-123-4567-890",
    "4006381333924",           // EAN-13 that passes the Luhn check
    "40063813339314",          // GTIN-14 that passes the Luhn check
    "1234567812345670",        // passes Luhn, no issuer prefix
    "411111111111111118",      // passes Luhn, a length Visa does not issue
    "4111111111111112",        // fails Luhn
    "ART4111111111111111",     // inside an article code
    "41 11111111 111111",      // not a card's grouping
    "4111  1111  1111  1111",  // groups split by more than one space
    "**** **** **** 1111",     // masked already
};

std::string Mask(std::string text) {
  poshark::cardmask::MaskCardNumbers(text.data(), text.size());
  return text;
}

TEST(CardMask, MasksTestNumbersOfEverySchemeAndLeavesOtherNumbersAlone) {
  for (const auto& [in, out] : kMasked) EXPECT_EQ(Mask(in), out) << in;
  // Digits are counted in blocks of a few hundred bytes: a card across the
  // first block's end still counts whole.
  for (size_t pad = 230; pad < 260; pad += 3) {
    std::string pre(pad, 'x');
    EXPECT_EQ(Mask(pre + " 4111 1111 1111 1111"), pre + " **** **** **** 1111") << pad;
  }
  for (const char* text : kLeftAlone) EXPECT_EQ(Mask(text), text);
}

TEST(CardMask, PluginMasksTheWritersBufferUpToItsNul) {
  void* handle = dlopen(POSHARK_CARDMASK_PLUGIN, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  using Filter = int (*)(char*, int);
  auto filter = reinterpret_cast<Filter>(dlsym(handle, "MaskCardNumbers"));
  ASSERT_NE(filter, nullptr);
  std::string buffer = std::string("PAN 4111 1111 1111 1111") + '\0' + "5555555555554444";
  buffer.resize(100, '\0');
  EXPECT_EQ(filter(buffer.data(), 100), 1);
  EXPECT_EQ(std::string(buffer.c_str()), "PAN **** **** **** 1111");
  EXPECT_EQ(buffer.substr(24, 16), "5555555555554444");  // past the NUL: not the record's
  EXPECT_EQ(filter(nullptr, 100), 0);
  dlclose(handle);
}

}  // namespace
