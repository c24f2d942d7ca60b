// The JSON form of a line (docs/OUTPUT.md): the one writer of it, for the
// JSON Lines output, the live page's stream and the lines of a receipt
// document.
#pragma once

#include <string>

#include "output/LineRecord.h"

namespace poshark::tool {

// Appends one JSON object (no trailing newline) with the fields in the
// documented order; `channel` first when with_channel.
void AppendJsonRow(std::string& out, const LineRecord& line, bool with_channel);

}  // namespace poshark::tool
