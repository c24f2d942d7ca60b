#include "output/Output.h"

#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "CardMask.h"
#include "base/JsonText.h"

namespace poshark::tool {

using namespace std::string_view_literals;

std::optional<std::string_view> NamedEvent(int event) {
  switch (event) {
    case -1:
      return ""sv;
    case 0:
      return "START"sv;
    case 1:
      return "STOP"sv;
    case 2:
      return "VOID"sv;
    case -2:
      return "OVERFLOW"sv;
    default:
      return std::nullopt;
  }
}

std::string EventName(int event) {
  if (auto name = NamedEvent(event)) return std::string(*name);
  return "EVENT" + std::to_string(event);
}

namespace {

const char kIndent[] = "        ";
// Width of a row's event column: the time stamps and the texts of all rows
// line up.
constexpr size_t kEventColumn = 8;

std::string ColourOn(uint32_t rgb) {
  unsigned r = rgb & 0xFF;
  unsigned g = (rgb >> 8) & 0xFF;
  unsigned b = (rgb >> 16) & 0xFF;
  // Dark text on light keys, light text on dark ones.
  bool light = r * 299 + g * 587 + b * 114 > 128000;
  char buf[64];
  std::snprintf(buf, sizeof buf, "\x1b[48;2;%u;%u;%um\x1b[38;2;%s", r, g, b,
                light ? "0;0;0m" : "255;255;255m");
  return buf;
}

const char kColourOff[] = "\x1b[0m";

// Calls fn(start, end) for each printed line of a text: split at LF, CR
// dropped, no empty last line.
template <typename Fn>
void ForEachPrintedLine(const std::string& text, Fn&& fn) {
  bool any = false;
  for (size_t start = 0;;) {
    size_t lf = text.find('\n', start);
    size_t end = lf == std::string::npos ? text.size() : lf;
    size_t shown = end;
    while (shown > start && text[shown - 1] == '\r') --shown;
    if (lf == std::string::npos) {
      if (shown > start || !any) fn(start, shown);
      return;
    }
    fn(start, shown);
    any = true;
    start = lf + 1;
  }
}

// Starts a row: the time stamp, the event column and the first bytes of the
// text, which must be shown as they are, grown into the output at once.
// Answers where the row starts.
size_t BeginRow(std::string& out, std::string_view prefix, std::string_view event,
                std::string_view plain) {
  const size_t row = out.size();
  const size_t head = prefix.size() + std::max(event.size(), kEventColumn);
  out.resize(row + head + plain.size());
  char* p = out.data() + row;
  std::memcpy(p, prefix.data(), prefix.size());
  std::memcpy(p + prefix.size(), event.data(), event.size());
  std::memset(p + prefix.size() + event.size(), ' ', head - prefix.size() - event.size());
  if (!plain.empty()) std::memcpy(p + head, plain.data(), plain.size());
  return row;
}

// Ends the row begun at `row`: spaces at its end dropped, then the newline.
void EndRow(std::string& out, size_t row) {
  size_t end = out.size();
  while (end > row && out[end - 1] == ' ') --end;
  if (end < out.size()) {
    out[end] = '\n';
    out.resize(end + 1);
  } else {
    out += '\n';
  }
}

}  // namespace

void FormatText(std::string& out, const DeliveredLine& line, Decoder& decoder,
                const Findings& findings, bool colour, TextOrder order) {
  char prefix[kLocalTimeRoom + 8];
  size_t prefix_len = WriteLocalTime(prefix, line.time);
  std::memcpy(prefix + prefix_len, line.dst ? " DST " : " std ", 5);
  prefix_len += 5;
  const std::string_view head(prefix, prefix_len);
  // Every row names its event: the named ones without building a string.
  std::string other_event;
  std::optional<std::string_view> named = NamedEvent(line.event);
  std::string_view event = named ? *named : std::string_view(other_event = EventName(line.event));
  // Colour of each byte: index into ranges, or -1.
  std::vector<int> paint;
  // Colour ranges count bytes in display order: a line in logical order is
  // shown without them.
  if (colour && !findings.ranges.empty() && order == TextOrder::kDisplay) {
    paint.assign(line.text.size(), -1);
    for (size_t i = 0; i < findings.ranges.size(); ++i) {
      const auto& r = findings.ranges[i];
      for (int k = std::max(0, r.start); k < r.end && k < static_cast<int>(paint.size()); ++k) {
        if (paint[static_cast<size_t>(k)] < 0) paint[static_cast<size_t>(k)] = static_cast<int>(i);
      }
    }
  }
  bool first = true;
  ForEachPrintedLine(line.text, [&](size_t start, size_t end) {
    const std::string_view shown = first && !event.empty() ? event : "-"sv;
    first = false;
    const std::string_view bytes = std::string_view(line.text).substr(start, end - start);
    if (!paint.empty()) {
      const size_t row = BeginRow(out, head, shown, {});
      size_t k = start;
      while (k < end) {
        int c = paint[k];
        size_t j = k;
        while (j < end && paint[j] == c) ++j;
        if (c >= 0) out += ColourOn(findings.ranges[static_cast<size_t>(c)].color);
        decoder.AppendUtf8(out, std::string_view(line.text).substr(k, j - k));
        if (c >= 0) out += kColourOff;
        k = j;
      }
      EndRow(out, row);
    } else if (order == TextOrder::kLogical) {
      const size_t row = BeginRow(out, head, shown, {});
      out += LogicalOrder(decoder.ToUtf8(bytes));
      EndRow(out, row);
    } else {
      // Most rows are plain ASCII to their end and never reach the decoder.
      const size_t plain = decoder.PlainLength(bytes);
      const size_t row = BeginRow(out, head, shown, bytes.substr(0, plain));
      if (plain < bytes.size()) decoder.AppendUtf8(out, bytes.substr(plain));
      EndRow(out, row);
    }
  });
  for (const auto& c : findings.captures) {
    out += std::string(kIndent) + "capture " + c.name + " = " + decoder.ToUtf8(c.data) + "\n";
  }
  for (const auto& a : findings.alarms) {
    out += std::string(kIndent) + "ALARM   " + a.name;
    if (!a.data.empty()) out += " = " + decoder.ToUtf8(a.data);
    out += a.source == 2 ? " (colour key)\n" : "\n";
  }
}

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
// its data; text(bytes) appends a string of the channel's code page.
template <typename Text>
void AppendNamedFinding(std::string& out, Text& text, const std::string& name,
                        std::string_view firstKey, int first, std::string_view secondKey,
                        int second, const std::string& data) {
  out += R"("name":)"sv;
  text(name);
  out += firstKey;
  AppendJsonNumber(out, first);
  out += secondKey;
  AppendJsonNumber(out, second);
  out += R"(,"data":)"sv;
  text(data);
}

// Appends the catchers' findings as the row's three arrays.
template <typename Text>
void AppendFindings(std::string& out, const Findings& findings, Text&& text) {
  AppendArray(out, R"(,"captures":)"sv, findings.captures, [&](const Capture& c) {
    AppendNamedFinding(out, text, c.name, R"(,"mdb_type":)"sv, c.mdb_type, R"(,"mdb_id":)"sv,
                       c.mdb_id, c.data);
  });
  AppendArray(out, R"(,"alarms":)"sv, findings.alarms, [&](const Alarm& a) {
    AppendNamedFinding(out, text, a.name, R"(,"key_index":)"sv, a.key_index, R"(,"source":)"sv,
                       a.source, a.data);
  });
  AppendArray(out, R"(,"ranges":)"sv, findings.ranges, [&](const ColorRange& r) {
    out += R"("name":)"sv;
    text(r.name);
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
void FormatJson(std::string& out, const DeliveredLine& line, Decoder& decoder,
                const Findings& findings, const std::string& channel, TextOrder order) {
  thread_local std::string decoded;
  auto text = [&](const std::string& bytes) {
    decoded.clear();
    decoder.AppendUtf8(decoded, bytes, false);
    AppendJsonString(out, decoded);
  };
  if (!channel.empty()) {
    out += R"({"channel":)"sv;
    AppendJsonString(out, channel);
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
  if (order == TextOrder::kLogical) {
    AppendJsonString(out, LogicalOrder(decoder.ToUtf8(line.text, false)));
  } else {
    text(line.text);
  }
  out += R"(,"raw":")"sv;
  AppendBase64(out, line.text);
  out += R"(","extra":")"sv;
  AppendBase64(out, line.extra);
  if (findings.captures.empty() && findings.alarms.empty() && findings.ranges.empty()) {
    out += R"(","captures":[],"alarms":[],"ranges":[]})"sv;  // most rows
    return;
  }
  out += '"';
  AppendFindings(out, findings, text);
  out += '}';
}

namespace {

std::string FilterFilePath() {
  const char* home = std::getenv("POSHARK_HOME");
  std::string dir = home != nullptr && *home != '\0' ? home : "/var/lib/poshark";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/POSKeyFilter.ini";
}

}  // namespace

struct Printer::Catchers {
  KeyDataCatcher keywords;
  ColorKeyCatcher colours;
};

Printer::Printer(const ChannelSettings& settings, bool json, bool colour)
    : decoder_(settings.codepage),
      charset_(CharsetForCodepage(settings.codepage)),
      pos_(settings.pos),
      channel_(settings.name),
      mask_(settings.mask),
      order_(settings.order),
      json_(json),
      colour_(colour && !json) {}

Printer::~Printer() = default;

bool Printer::LoadKeys(std::string& error) {
  const int pos = pos_;
  std::string path = FilterFilePath();
  if (access(path.c_str(), R_OK) != 0) {
    error = "keys: " + path + ": " + std::strerror(errno) +
            " (the filter file lives in the poshark home: --home or POSHARK_HOME)";
    return false;
  }
  catchers_ = std::make_unique<Catchers>();
  catchers_->keywords.LoadIni(pos);
  catchers_->colours.LoadIni(pos);
  if (catchers_->keywords.GetKeyWordNum() == 0 && catchers_->colours.GetKeyWordNum() == 0) {
    std::fprintf(stderr, "poshark: %s: no keywords in [POS%d] and no colour keys in [ColorKey%d]\n",
                 path.c_str(), pos, pos);
  }
  return true;
}

void Printer::SaveKeys() {
  if (!catchers_) return;
  catchers_->keywords.WriteIni_FreqIdleRec(pos_);
  catchers_->colours.WriteIni_FreqIdleRec(pos_);
}

Findings Printer::Find(const DeliveredLine& line) {
  Findings f;
  if (!catchers_ || line.text.empty()) return f;
  std::vector<char> text(line.text.begin(), line.text.end());
  text.push_back('\0');
  int len = static_cast<int>(line.text.size());

  auto name_of = [](STRUCT_KeyWord* kw) {
    return kw != nullptr && kw->pszName != nullptr ? std::string(kw->pszName) : std::string();
  };
  auto collect = [&](auto& catcher, bool colour_key) {
    int q = catcher.GetKeyData(nullptr, nullptr, nullptr, 0);
    if (q <= 0) return;
    std::vector<STRUCT_CatchData> data(static_cast<size_t>(q));
    std::vector<STRUCT_AlarmData> alarms(static_cast<size_t>(q));
    std::vector<STRUCT_ColorKeyRange> ranges(static_cast<size_t>(q));
    int m = catcher.GetKeyData(data.data(), alarms.data(), ranges.data(), q);
    int keys = catcher.GetKeyWordNum();
    for (int i = 0; i < m && i < q; ++i) {
      // The keyword that produced the datum: by its MDB type and ID.
      std::string name;
      for (int k = 0; k < keys; ++k) {
        STRUCT_KeyWord* kw = catcher.GetKeyWord(k);
        if (kw != nullptr && kw->nMDBType == data[i].nMDBType && kw->nMDBID == data[i].nMDBID) {
          name = name_of(kw);
          break;
        }
      }
      std::string caught = data[i].pszData != nullptr ? data[i].pszData : "";
      std::free(data[i].pszData);
      if (colour_key) {
        f.ranges.push_back({name, ranges[i].nStart, ranges[i].nEnd, ranges[i].crKeyColor,
                            ranges[i].nColorValue1, ranges[i].nColorValue2});
      } else {
        f.captures.push_back({name, data[i].nMDBType, data[i].nMDBID, caught});
      }
      if (alarms[i].bAlarm) {
        std::string alarm_name = name;
        if (alarms[i].nKeyIndex >= 0 && alarms[i].nKeyIndex < keys) {
          alarm_name = name_of(catcher.GetKeyWord(alarms[i].nKeyIndex));
        }
        f.alarms.push_back({alarm_name, alarms[i].nKeyIndex, alarms[i].nSource, caught});
      }
    }
  };

  int count = 0;
  catchers_->keywords.FindKeyData(text.data(), len, count);
  collect(catchers_->keywords, false);
  count = 0;
  SYSTEMTIME time = line.time;
  catchers_->colours.FindKeyData(text.data(), len, count, time, charset_);
  collect(catchers_->colours, true);
  return f;
}

void Printer::Record(const DeliveredLine& line, const Findings& findings, LineRecord& r) {
  auto text = [&](const std::string& bytes) { return decoder_.ToUtf8(bytes, false); };
  r.channel = channel_;
  r.pos = line.pos;
  r.event = line.event;
  r.time = line.time;
  r.dst = line.dst;
  // Here rather than on the journal's thread: the C library's time zone
  // state is best read from one thread.
  r.time_ms = EpochMs(line.time, line.dst);
  r.raw = line.text;
  r.text = text(line.text);
  r.rtl = HasRightToLeft(r.text);
  if (order_ == TextOrder::kLogical) {
    r.shown = std::move(r.text);
    r.text = LogicalOrder(r.shown);
  }
  r.findings = findings;
  for (auto& c : r.findings.captures) {
    c.name = text(c.name);
    c.data = text(c.data);
  }
  for (auto& a : r.findings.alarms) {
    a.name = text(a.name);
    a.data = text(a.data);
  }
  for (auto& k : r.findings.ranges) k.name = text(k.name);
}

void Printer::Format(DeliveredLine& line, std::string& out, LineRecord* record) {
  if (mask_) cardmask::MaskCardNumbers(line.text.data(), line.text.size());
  Findings findings = Find(line);
  if (record != nullptr) Record(line, findings, *record);
  if (json_) {
    FormatJson(out, line, decoder_, findings, channel_, order_);
    out += '\n';
  } else {
    FormatText(out, line, decoder_, findings, colour_, order_);
  }
}

}  // namespace poshark::tool
