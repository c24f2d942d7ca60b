// Masking of payment card numbers in printed text.
//
// A card number is a run of 14 to 19 digits, written either without breaks
// or in groups split by single spaces or dashes (4-4-4-4 and the like, whose
// groups are of four digits but the last; or 4-6-5 and 4-6-4), that starts
// with a card scheme's issuer prefix, has a length the scheme issues, and
// passes the Luhn check. It keeps its last four digits; every other digit
// becomes '*'. Letters or digits right before or after the run rule it out
// (an article code, a longer number).
#pragma once

#include <cstddef>

namespace poshark::cardmask {

// Masks every card number in text[0..size) in place; answers how many were
// masked. The length never changes.
int MaskCardNumbers(char* text, size_t size);

}  // namespace poshark::cardmask
