// The text output of a line: one row per printed line, as a person reads it.
#pragma once

#include <string>

#include "base/Text.h"
#include "output/LineRecord.h"

namespace poshark::tool {

// Appends the rows of one line: the time stamp, DST flag and event, then
// the text (as printed, or in logical order when the channel reads so), one
// row per printed line of it; then the captures and alarms, indented.
// Control characters show as their pictures. With `paint` (a terminal in
// colour), colour ranges of a line as printed are painted on its bytes,
// which that decoder reads.
void AppendTextRows(std::string& out, const LineRecord& line, Decoder* paint);

}  // namespace poshark::tool
