// Allocation, copying and release of keyword records, the way both
// catchers and their hosts share them (see <poshark/KeyRecords.h>): records,
// conditions and lists with new/delete, texts with malloc/free.
#pragma once

#include <poshark/KeyRecords.h>

#include <cstddef>

namespace poshark::keywords {

inline constexpr int kKeyTextSize = 31;  // pszKeyWord, pszName: 30 characters and a NUL
inline constexpr int kMaxKeyTextLen = kKeyTextSize - 1;

// Length of pszText counting at most nMax characters (0 for null).
size_t BoundedLength(const char* pszText, size_t nMax);

// A new zero-filled kKeyTextSize buffer holding the first kMaxKeyTextLen
// characters of pszText (empty for null).
char* NewKeyText(const char* pszText);

// A new condition with the fields of src and its own copy of src's
// frequency records (no list when src has none). Operand texts are
// terminated within their arrays.
STRUCT_Condition* CopyCondition(const STRUCT_Condition& src);

// Deletes the condition and its frequency list; null is ignored.
void ReleaseCondition(STRUCT_Condition* pCond);

// Releases a record: its condition (when bCondition), its texts and the
// record itself; null is ignored.
void ReleaseKeyWordRecord(STRUCT_KeyWord* pKey);

}  // namespace poshark::keywords
