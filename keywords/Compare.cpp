#include "keywords/Compare.h"

#include <poshark/KeyRecords.h>

#include <cstring>

namespace poshark::keywords {

namespace {

// nOrder: negative, 0 or positive as caught <, =, > stored.
bool Holds(int nOrder, int nOperator) {
  switch (nOperator) {
    case POSHARK_OP_EQUAL:
      return nOrder == 0;
    case POSHARK_OP_GREATER_EQUAL:
      return nOrder >= 0;
    case POSHARK_OP_LESS_EQUAL:
      return nOrder <= 0;
    case POSHARK_OP_GREATER:
      return nOrder > 0;
    case POSHARK_OP_LESS:
      return nOrder < 0;
    case POSHARK_OP_NOT_EQUAL:
      return nOrder != 0;
    default:
      return false;
  }
}

}  // namespace

bool CmpCondition(float fCaught, float fStored, int nOperator) {
  // Compared directly rather than through a difference, so that two
  // infinities of one sign are equal and a NaN equals nothing.
  switch (nOperator) {
    case POSHARK_OP_EQUAL:
      return fCaught == fStored;
    case POSHARK_OP_GREATER_EQUAL:
      return fCaught >= fStored;
    case POSHARK_OP_LESS_EQUAL:
      return fCaught <= fStored;
    case POSHARK_OP_GREATER:
      return fCaught > fStored;
    case POSHARK_OP_LESS:
      return fCaught < fStored;
    case POSHARK_OP_NOT_EQUAL:
      return fCaught != fStored;
    default:
      return false;
  }
}

bool CmpCondition(const char* pszCaught, const char* pszStored, int nOperator) {
  return Holds(std::strcmp(pszCaught ? pszCaught : "", pszStored ? pszStored : ""), nOperator);
}

}  // namespace poshark::keywords
