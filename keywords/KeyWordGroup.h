// Keywords that start with one byte, in list order. A group refers to its
// keywords; it never owns them.
#pragma once

#include <poshark/KeyRecords.h>

#include <vector>

namespace poshark::keywords {

struct KeyWordGroup {
  char cFirst = 0;
  std::vector<STRUCT_KeyWord*> aKeyWords;
};

}  // namespace poshark::keywords
