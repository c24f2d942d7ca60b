#include "output/LineReader.h"

#include <poshark/ColorKeyCatcher.h>
#include <poshark/KeyDataCatcher.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CardMask.h"
#include "output/LineSink.h"

namespace poshark::tool {

namespace {

std::string FilterFilePath() {
  const char* home = std::getenv("POSHARK_HOME");
  std::string dir = home != nullptr && *home != '\0' ? home : "/var/lib/poshark";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/POSKeyFilter.ini";
}

bool SameSecond(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
         a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

// Lines of a set whose code tables are followed arrive in UTF-8.
constexpr const char* kUtf8 = "utf-8";

}  // namespace

struct LineReader::Catchers {
  KeyDataCatcher keywords;
  ColorKeyCatcher colours;
};

LineReader::LineReader(const ChannelSettings& settings)
    : decoder_(std::make_unique<Decoder>(settings.codepage)),
      charset_(CharsetForCodepage(settings.codepage)),
      pos_(settings.pos),
      channel_(settings.name),
      mask_(settings.mask),
      order_(settings.order) {}

LineReader::~LineReader() = default;

void LineReader::UseUtf8() {
  decoder_ = std::make_unique<Decoder>(kUtf8);
  charset_ = 0;
}

bool LineReader::LoadKeys(std::string& error) {
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

void LineReader::SaveKeys() {
  if (!catchers_) return;
  catchers_->keywords.WriteIni_FreqIdleRec(pos_);
  catchers_->colours.WriteIni_FreqIdleRec(pos_);
}

namespace {

// Appends what one catcher found on the line, its alarms and (for the
// colour keys) its ranges; names and data still in the code page.
template <typename Catcher>
void Collect(Catcher& catcher, bool colour_key, Findings& f) {
  auto name_of = [](STRUCT_KeyWord* kw) {
    return kw != nullptr && kw->pszName != nullptr ? std::string(kw->pszName) : std::string();
  };
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
}

}  // namespace

Findings LineReader::Find(const DeliveredLine& line) {
  Findings f;
  if (!catchers_ || line.text.empty()) return f;
  std::vector<char> text(line.text.begin(), line.text.end());
  text.push_back('\0');
  int len = static_cast<int>(line.text.size());
  int count = 0;
  catchers_->keywords.FindKeyData(text.data(), len, count);
  Collect(catchers_->keywords, false, f);
  count = 0;
  SYSTEMTIME time = line.time;
  catchers_->colours.FindKeyData(text.data(), len, count, time, charset_);
  Collect(catchers_->colours, true, f);
  return f;
}

void LineReader::Decode(Findings& findings) {
  auto utf8 = [&](std::string& bytes) { bytes = decoder_->ToUtf8(bytes, false); };
  for (auto& c : findings.captures) {
    utf8(c.name);
    utf8(c.data);
  }
  for (auto& a : findings.alarms) {
    utf8(a.name);
    utf8(a.data);
  }
  for (auto& k : findings.ranges) utf8(k.name);
}

int64_t LineReader::EpochMsOf(const SYSTEMTIME& time, bool dst) {
  if (last_epoch_ms_ < 0 || dst != last_dst_ || !SameSecond(time, last_second_)) {
    last_second_ = time;
    last_second_.wMilliseconds = 0;
    last_dst_ = dst;
    last_epoch_ms_ = EpochMs(last_second_, dst);
  }
  return last_epoch_ms_ + time.wMilliseconds;
}

void LineReader::Read(DeliveredLine& line, LineRecord& r) {
  if (mask_) cardmask::MaskCardNumbers(line.text.data(), line.text.size());
  r.channel = channel_;
  r.pos = line.pos;
  r.event = line.event;
  r.time = line.time;
  r.dst = line.dst;
  r.time_ms = EpochMsOf(line.time, line.dst);
  r.raw = line.text;
  // Most lines carry no extra block: clearing costs less than assigning.
  if (line.extra.empty()) {
    r.extra.clear();
  } else {
    r.extra = line.extra;
  }
  r.text.clear();
  decoder_->AppendUtf8(r.text, line.text, false);
  // Plain ASCII holds no right-to-left letter: most lines skip the look.
  r.rtl = !IsAscii(r.text) && HasRightToLeft(r.text);
  r.shown.clear();
  if (order_ == TextOrder::kLogical) {
    r.shown.swap(r.text);
    r.text = LogicalOrder(r.shown);
  }
  r.findings = Find(line);
  Decode(r.findings);
}

}  // namespace poshark::tool
