#include "forward/ForwardMessage.h"

#include <algorithm>

#include "base/JsonText.h"
#include "journal/Receipts.h"

namespace poshark::tool {

namespace {

void ReplaceAll(std::string& text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
}

// `{"store":STORE,` and the fields before the object's own.
std::string Head(const std::string& store) {
  std::string head = "{\"store\":";
  AppendJsonString(head, store);
  return head + ",";
}

}  // namespace

std::string ExpandTopic(const std::string& topic, const std::string& store,
                        const std::string& channel, int64_t pos) {
  std::string t = topic;
  std::string name = channel;  // a wildcard is never part of a topic
  std::replace_if(
      name.begin(), name.end(), [](char c) { return c == '+' || c == '#'; }, '_');
  ReplaceAll(t, "{store}", store);
  ReplaceAll(t, "{channel}", name);
  ReplaceAll(t, "{pos}", std::to_string(pos));
  return t;
}

std::string StatusTopic(const std::string& topic, const std::string& store) {
  std::string prefix = topic.substr(0, std::min(topic.find("{channel}"), topic.find("{pos}")));
  prefix = ExpandTopic(prefix, store, "", 0);
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  return prefix + "status";
}

std::optional<ForwardMessage> BuildMessage(Database& db, MessageKind kind, int64_t id,
                                           const std::string& topic, const std::string& store) {
  if (kind == MessageKind::kReceipt) {
    auto r = ReceiptById(db, id);
    if (!r) return std::nullopt;
    // The document's own id is the receipt's number, never given twice.
    std::string doc = ReceiptJson(db, *r);
    return ForwardMessage{ExpandTopic(topic, store, r->channel, r->pos) + "/receipt",
                          Head(store) + doc.substr(1)};
  }
  auto line = LineRowById(db, id);
  if (!line) return std::nullopt;
  std::string head = Head(store) + "\"id\":";
  AppendJsonNumber(head, id);
  head += ",\"receipt\":";
  AppendJsonNumber(head, line->receipt.id);
  const char* suffix = kind == MessageKind::kLine ? "/line" : "/alarm";
  return ForwardMessage{
      ExpandTopic(topic, store, line->receipt.channel, line->receipt.pos) + suffix,
      head + "," + line->json.substr(1)};
}

}  // namespace poshark::tool
