#include "platform/ByteTokens.h"

#include "platform/Text.h"

namespace poshark::platform {
namespace {

struct ControlName {
  const char* name;
  unsigned char value;
};

constexpr ControlName kControlNames[] = {
    {"NUL", 0},  {"SOH", 1},  {"STX", 2},  {"ETX", 3},  {"EOT", 4},  {"ENQ", 5},  {"ACK", 6},
    {"BEL", 7},  {"BS", 8},   {"HT", 9},   {"LF", 10},  {"VT", 11},  {"FF", 12},  {"CR", 13},
    {"SO", 14},  {"SI", 15},  {"SLE", 16}, {"DLE", 16}, {"CS1", 17}, {"DC2", 18}, {"DC3", 19},
    {"DC4", 20}, {"NAK", 21}, {"SYN", 22}, {"ETB", 23}, {"CAN", 24}, {"EM", 25},  {"SIB", 26},
    {"ESC", 27}, {"FS", 28},  {"GS", 29},  {"RS", 30},  {"US", 31},  {"SP", 32},
};

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

bool ControlCodeByName(std::string_view name, unsigned char* pCode) {
  for (const ControlName& c : kControlNames) {
    if (EqualNoCase(name, c.name)) {
      *pCode = c.value;
      return true;
    }
  }
  return false;
}

int HexDigitValue(char c) {
  if (c >= '1' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

unsigned char DecimalLowByte(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  unsigned value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
    value = (value * 10 + (s[i] - '0')) & 0xFF;
  if (negative) value = (256 - value) & 0xFF;
  return static_cast<unsigned char>(value);
}

unsigned char DecodeByteToken(std::string_view token) {
  if (token.size() == 1) return static_cast<unsigned char>(token[0]);
  if (token.size() == 4) {
    if (token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
      return static_cast<unsigned char>(HexDigitValue(token[2]) * 16 + HexDigitValue(token[3]));
    return DecimalLowByte(token);
  }
  unsigned char code = 0;
  if (ControlCodeByName(token, &code)) return code;
  return DecimalLowByte(token);
}

}  // namespace poshark::platform
