#include "output/JsonRow.h"

#include <optional>
#include <string_view>

#include "base/JsonText.h"
#include "base/Text.h"

namespace poshark::tool {

using namespace std::string_view_literals;

namespace {

// Appends `key` (with its comma and colon) and an array of objects, one per
// item, written by fields(item).
template <typename Items, typename Fields>
void AppendArray(std::string& out, std::string_view key, const Items& items, Fields&& fields) {
  out += key;
  out += '[';
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ',';
    out += '{';
    fields(item);
    out += '}';
    first = false;
  }
  out += ']';
}

// Appends the members of a capture or an alarm: its name, two numbers and
// its data.
void AppendNamedFinding(std::string& out, const std::string& name, std::string_view firstKey,
                        int first, std::string_view secondKey, int second,
                        const std::string& data) {
  out += R"("name":)"sv;
  AppendJsonString(out, name);
  out += firstKey;
  AppendJsonNumber(out, first);
  out += secondKey;
  AppendJsonNumber(out, second);
  out += R"(,"data":)"sv;
  AppendJsonString(out, data);
}

// Appends the catchers' findings as the row's three arrays.
void AppendFindings(std::string& out, const Findings& findings) {
  AppendArray(out, R"(,"captures":)"sv, findings.captures, [&](const Capture& c) {
    AppendNamedFinding(out, c.name, R"(,"mdb_type":)"sv, c.mdb_type, R"(,"mdb_id":)"sv, c.mdb_id,
                       c.data);
  });
  AppendArray(out, R"(,"alarms":)"sv, findings.alarms, [&](const Alarm& a) {
    AppendNamedFinding(out, a.name, R"(,"key_index":)"sv, a.key_index, R"(,"source":)"sv, a.source,
                       a.data);
  });
  AppendArray(out, R"(,"ranges":)"sv, findings.ranges, [&](const ColorRange& r) {
    out += R"("name":)"sv;
    AppendJsonString(out, r.name);
    out += R"(,"start":)"sv;
    AppendJsonNumber(out, r.start);
    out += R"(,"end":)"sv;
    AppendJsonNumber(out, r.end);
    out += R"(,"color":)"sv;
    AppendJsonString(out, HexColour(r.color));
    out += R"(,"value1":)"sv;
    AppendJsonNumber(out, r.value1);
    out += R"(,"value2":)"sv;
    AppendJsonNumber(out, r.value2);
  });
}

}  // namespace

// Written field by field in the order and layout of a JSON library's dump:
// one document built and freed per row was most of a --json run's time.
void AppendJsonRow(std::string& out, const LineRecord& line, bool with_channel) {
  if (with_channel) {
    out += R"({"channel":)"sv;
    AppendJsonString(out, line.channel);
    out += R"(,"time":")"sv;
  } else {
    out += R"({"time":")"sv;
  }
  char time[kIsoTimeRoom];
  out.append(time, WriteIsoTime(time, line.time, line.dst));
  out += line.dst ? R"(","dst":true,"pos":)"sv : R"(","dst":false,"pos":)"sv;
  AppendJsonNumber(out, line.pos);
  const std::optional<std::string_view> named = NamedEvent(line.event);
  if (named && named->empty()) {
    out += R"(,"event":null,"text":)"sv;
  } else {
    out += R"(,"event":)"sv;
    AppendJsonString(out, named ? *named : std::string_view(EventName(line.event)));
    out += R"(,"text":)"sv;
  }
  AppendJsonString(out, line.text);
  out += R"(,"raw":")"sv;
  AppendBase64(out, line.raw);
  out += R"(","extra":")"sv;
  AppendBase64(out, line.extra);
  const Findings& f = line.findings;
  if (f.captures.empty() && f.alarms.empty() && f.ranges.empty()) {
    out += R"(","captures":[],"alarms":[],"ranges":[]})"sv;  // most rows
    return;
  }
  out += '"';
  AppendFindings(out, f);
  out += '}';
}

}  // namespace poshark::tool
