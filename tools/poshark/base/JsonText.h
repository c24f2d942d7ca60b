// JSON text written straight into an output buffer: the rows of `listen
// --json` are written field by field, without building a document for each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace poshark::tool {

// Appends text as a JSON string, quotes included, byte for byte as
// nlohmann::json's dump(-1, ' ', false, replace) writes it: '"', '\\' and
// control characters escaped, other UTF-8 as it is, ill-formed UTF-8
// replaced by U+FFFD.
void AppendJsonString(std::string& out, std::string_view text);

// Appends a JSON number.
void AppendJsonNumber(std::string& out, int64_t value);

}  // namespace poshark::tool
