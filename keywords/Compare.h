// Comparison of caught data with a condition's operand, shared by both
// catchers. Left operand the caught value, right the stored one; operator
// codes POSHARK_OP_* of <poshark/KeyRecords.h>, any other code never holds.
#pragma once

namespace poshark::keywords {

// Compares the two 32-bit values; equal means exactly equal.
bool CmpCondition(float fCaught, float fStored, int nOperator);
// Compares the texts byte by byte as unsigned bytes (strcmp order); a null
// text counts as empty.
bool CmpCondition(const char* pszCaught, const char* pszStored, int nOperator);

}  // namespace poshark::keywords
