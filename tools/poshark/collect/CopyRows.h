// A receipt message as a row of the receipts table in COPY's text form
// (tab between columns, \N for NULL, a newline after the row), in the
// column order of kReceiptColumns. The server
// parses the values (times, numbers, the JSON documents); a value it
// refuses fails the COPY with a data error (SQLSTATE class 22).
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace poshark::tool {

inline constexpr char kReceiptColumns[] =
    "store, channel, id, pos, start_time, stop_time, transaction, void, alarms, doc, lines, words";

// Appends the receipt's row to `rows`: its document without its lines, the
// array of its lines, and their texts joined by newlines. The receipt is
// one that ReadCentralMessage accepted.
void AppendReceiptRow(const nlohmann::json& receipt, std::string& rows);

}  // namespace poshark::tool
