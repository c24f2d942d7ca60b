// A receipt message as rows of the receipts and lines tables in COPY's
// text form (tab between columns, \N for NULL, a newline after each row),
// in the column order of kReceiptColumns and kLineColumns. The server
// parses the values (times, numbers, the JSON documents); a value it
// refuses fails the COPY with a data error (SQLSTATE class 22).
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace poshark::tool {

inline constexpr char kReceiptColumns[] =
    "store, channel, id, pos, start_time, stop_time, transaction, void, alarms, doc";
inline constexpr char kLineColumns[] =
    "store, channel, receipt, start_time, n, time, event, text, doc";

// Appends the receipt's row to `receipts` (its document without its lines)
// and one row a line, numbered from 1, to `lines`. The receipt is one that
// ReadCentralMessage accepted.
void AppendReceiptRows(const nlohmann::json& receipt, std::string& receipts, std::string& lines);

}  // namespace poshark::tool
