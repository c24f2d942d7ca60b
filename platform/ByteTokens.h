// Byte tokens of the configuration files: the grammar that names one byte by
// a character, a hexadecimal "0xHH", a control-character name or a decimal.
#pragma once

#include <string_view>

namespace poshark::platform {

// The value of a control-character name ("NUL" .. "US", "SP", and the
// aliases "SLE" and "CS1" and "SIB"), compared without case. False when the
// name is none of them.
bool ControlCodeByName(std::string_view name, unsigned char* pCode);

// Value of a hexadecimal digit; any other character counts as 0.
int HexDigitValue(char c);

// The low 8 bits of a decimal token, exact for any number of digits: blanks,
// an optional sign, digits; anything after them ignored, no digits give 0.
// A negative number gives its two's-complement low byte.
unsigned char DecimalLowByte(std::string_view token);

// One byte token: a single character stands for itself; four characters
// "0xHH" (or "0XHH") are hexadecimal, other four-character tokens decimal;
// otherwise a control-character name, else decimal.
unsigned char DecodeByteToken(std::string_view token);

}  // namespace poshark::platform
