#include "Output.h"

#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace poshark::tool {

std::string EventName(int event) {
  switch (event) {
    case -1:
      return "";
    case 0:
      return "START";
    case 1:
      return "STOP";
    case 2:
      return "VOID";
    case -2:
      return "OVERFLOW";
    default:
      return "EVENT" + std::to_string(event);
  }
}

namespace {

const char kIndent[] = "        ";

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

// The printed lines of a text: split at LF, CR dropped, no empty last line.
std::vector<std::pair<size_t, size_t>> PrintedLines(const std::string& text) {
  std::vector<std::pair<size_t, size_t>> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t lf = text.find('\n', start);
    size_t end = lf == std::string::npos ? text.size() : lf;
    size_t shown = end;
    while (shown > start && text[shown - 1] == '\r') --shown;
    if (lf == std::string::npos) {
      if (shown > start || lines.empty()) lines.emplace_back(start, shown);
      break;
    }
    lines.emplace_back(start, shown);
    start = lf + 1;
  }
  return lines;
}

std::string Hex6(uint32_t rgb) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", rgb & 0xFF, (rgb >> 8) & 0xFF,
                (rgb >> 16) & 0xFF);
  return buf;
}

}  // namespace

std::string FormatText(const DeliveredLine& line, Decoder& decoder, const Findings& findings,
                       bool colour) {
  std::string prefix = FormatLocalTime(line.time) + (line.dst ? " DST " : " std ");
  std::string event = EventName(line.event);
  std::string out;
  // Colour of each byte: index into ranges, or -1.
  std::vector<int> paint;
  if (colour && !findings.ranges.empty()) {
    paint.assign(line.text.size(), -1);
    for (size_t i = 0; i < findings.ranges.size(); ++i) {
      const auto& r = findings.ranges[i];
      for (int k = std::max(0, r.start); k < r.end && k < static_cast<int>(paint.size()); ++k) {
        if (paint[static_cast<size_t>(k)] < 0) paint[static_cast<size_t>(k)] = static_cast<int>(i);
      }
    }
  }
  bool first = true;
  for (auto [start, end] : PrintedLines(line.text)) {
    std::string tag = first ? (event.empty() ? "-" : event) : "-";
    tag.resize(std::max<size_t>(tag.size(), 8), ' ');
    std::string body;
    if (paint.empty()) {
      body = decoder.ToUtf8(std::string_view(line.text).substr(start, end - start));
    } else {
      size_t k = start;
      while (k < end) {
        int c = paint[k];
        size_t j = k;
        while (j < end && paint[j] == c) ++j;
        std::string piece = decoder.ToUtf8(std::string_view(line.text).substr(k, j - k));
        if (c >= 0) {
          body += ColourOn(findings.ranges[static_cast<size_t>(c)].color) + piece + kColourOff;
        } else {
          body += piece;
        }
        k = j;
      }
    }
    std::string row = prefix + tag + body;
    while (!row.empty() && row.back() == ' ') row.pop_back();
    out += row + "\n";
    first = false;
  }
  for (const auto& c : findings.captures) {
    out += std::string(kIndent) + "capture " + c.name + " = " + decoder.ToUtf8(c.data) + "\n";
  }
  for (const auto& a : findings.alarms) {
    out += std::string(kIndent) + "ALARM   " + a.name;
    if (!a.data.empty()) out += " = " + decoder.ToUtf8(a.data);
    out += a.source == 2 ? " (colour key)\n" : "\n";
  }
  return out;
}

std::string FormatJson(const DeliveredLine& line, Decoder& decoder, const Findings& findings) {
  std::string event = EventName(line.event);
  std::string out = "{\"time\":" + JsonString(FormatIsoTime(line.time, line.dst)) +
                    ",\"dst\":" + (line.dst ? "true" : "false") +
                    ",\"pos\":" + std::to_string(line.pos) +
                    ",\"event\":" + (event.empty() ? "null" : JsonString(event)) +
                    ",\"text\":" + JsonString(decoder.ToUtf8(line.text, false)) +
                    ",\"raw\":" + JsonString(Base64(line.text)) +
                    ",\"extra\":" + JsonString(Base64(line.extra)) + ",\"captures\":[";
  for (size_t i = 0; i < findings.captures.size(); ++i) {
    const auto& c = findings.captures[i];
    out += std::string(i ? "," : "") + "{\"name\":" + JsonString(decoder.ToUtf8(c.name, false)) +
           ",\"mdb_type\":" + std::to_string(c.mdb_type) + ",\"mdb_id\":" +
           std::to_string(c.mdb_id) + ",\"data\":" + JsonString(decoder.ToUtf8(c.data, false)) +
           "}";
  }
  out += "],\"alarms\":[";
  for (size_t i = 0; i < findings.alarms.size(); ++i) {
    const auto& a = findings.alarms[i];
    out += std::string(i ? "," : "") + "{\"name\":" + JsonString(decoder.ToUtf8(a.name, false)) +
           ",\"key_index\":" + std::to_string(a.key_index) + ",\"source\":" +
           std::to_string(a.source) + ",\"data\":" + JsonString(decoder.ToUtf8(a.data, false)) +
           "}";
  }
  out += "],\"ranges\":[";
  for (size_t i = 0; i < findings.ranges.size(); ++i) {
    const auto& r = findings.ranges[i];
    out += std::string(i ? "," : "") + "{\"name\":" + JsonString(decoder.ToUtf8(r.name, false)) +
           ",\"start\":" + std::to_string(r.start) + ",\"end\":" + std::to_string(r.end) +
           ",\"color\":" + JsonString(Hex6(r.color)) + ",\"value1\":" + std::to_string(r.value1) +
           ",\"value2\":" + std::to_string(r.value2) + "}";
  }
  out += "]}";
  return out;
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

Printer::Printer(const ListenOptions& options, FILE* out)
    : decoder_(options.codepage), charset_(CharsetForCodepage(options.codepage)),
      json_(options.json), out_(out) {
  const char* no_color = std::getenv("NO_COLOR");
  colour_ = !json_ && isatty(fileno(out)) && (no_color == nullptr || *no_color == '\0');
}

Printer::~Printer() = default;

bool Printer::LoadKeys(int pos, std::string& error) {
  std::string path = FilterFilePath();
  if (access(path.c_str(), R_OK) != 0) {
    error = "--keys: " + path + ": " + std::strerror(errno) +
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

void Printer::SaveKeys(int pos) {
  if (!catchers_) return;
  catchers_->keywords.WriteIni_FreqIdleRec(pos);
  catchers_->colours.WriteIni_FreqIdleRec(pos);
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

bool Printer::Print(const DeliveredLine& line) {
  Findings findings = Find(line);
  std::string out = json_ ? FormatJson(line, decoder_, findings) + "\n"
                          : FormatText(line, decoder_, findings, colour_);
  return std::fwrite(out.data(), 1, out.size(), out_) == out.size();
}

bool Printer::Flush() { return std::fflush(out_) == 0; }

}  // namespace poshark::tool
