// The messages a forward publishes (docs/OUTPUT.md): a receipt is the
// document `poshark search --json` prints, a line or an alarm the JSON
// Lines row of the line; each with the store's id first, and the topic it
// goes to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "forward/Outbox.h"
#include "journal/JournalDb.h"

namespace poshark::tool {

struct ForwardMessage {
  std::string topic;
  std::string payload;
};

// The topic template with {store}, {channel} and {pos} filled in.
std::string ExpandTopic(const std::string& topic, const std::string& store,
                        const std::string& channel, int64_t pos);
// The template up to its first {channel} or {pos}, filled in, then
// "status": where the retained online and the last-will offline go.
std::string StatusTopic(const std::string& topic, const std::string& store);

// The message of receipt or line `id`: the expanded template, then
// "/receipt", "/line" or "/alarm". nullopt once it is gone from the
// journal. Throws JournalError.
std::optional<ForwardMessage> BuildMessage(Database& db, MessageKind kind, int64_t id,
                                           const std::string& topic, const std::string& store);

}  // namespace poshark::tool
