// A message from a store's forward (docs/OUTPUT.md, "MQTT messages"), read
// and checked before it joins a batch for the database: a message the
// database would refuse is dropped here, alone, with the reason, rather
// than failing the batch it would have joined.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace poshark::tool {

// Longest channel name a message may carry.
inline constexpr size_t kMaxChannelBytes = 256;

enum class CentralKind { kReceipt, kAlarm, kLine, kStatus };

struct CentralMessage {
  CentralKind kind = CentralKind::kReceipt;
  std::string store;
  std::string channel;  // "" for a status
  int64_t id = 0;       // the receipt's or the line's number in the store's journal
  int month = 0;        // kReceipt: the receipt's start as YYYYMM in UTC (its partition)
  nlohmann::json doc;   // the message as it came (kStatus: {"status": ...})
  size_t bytes = 0;     // the size of its payload
};

// The kind from the topic's last level (receipt, line, alarm or status),
// the rest from the payload. False, with why, for anything else.
bool ReadCentralMessage(const std::string& topic, const std::string& payload, CentralMessage& m,
                        std::string& why);

// An ISO 8601 time as the forwards write it (2024-03-14T09:41:02.123+01:00,
// or Z); false for any other form. `month` is its month in UTC, YYYYMM.
bool ReadMessageTime(const std::string& text, int& month);

}  // namespace poshark::tool
