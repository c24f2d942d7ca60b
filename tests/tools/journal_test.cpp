// The journal: receipts stored as the lines come, files it refuses,
// retention by age and by size, a writer killed while it writes, and
// `poshark search` over a journal built here (the page test searches one a
// service wrote).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>

#include "ToolProcess.h"
#include "journal/Journal.h"
#include "journal/JournalDb.h"
#include "journal/JournalStore.h"
#include "journal/SearchArgs.h"
#include "support/LineCollector.h"

namespace poshark_test {
namespace {

using poshark::tool::Database;
using poshark::tool::Journal;
using poshark::tool::JournalError;
using poshark::tool::Keep;
using poshark::tool::LineRecord;
using poshark::tool::OpenJournal;

constexpr int kStart = 0, kStop = 1, kVoid = 2, kPlain = -1;

// A line of POS 1 for channel "a", 2 for "b" and so on.
LineRecord JournalLine(const std::string& channel, int event, const std::string& text, int64_t ms) {
  return {channel, channel[0] - 'a' + 1, event, {}, false, ms, text, text, "", false, "", {}};
}

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Every row of a query, its first `columns` columns joined by '|'.
std::vector<std::string> Rows(poshark::tool::Database& db, const std::string& sql, int columns) {
  std::vector<std::string> rows;
  poshark::tool::Statement s(db, sql);
  while (s.Step()) {
    std::string row;
    for (int c = 0; c < columns; ++c) row += (c ? "|" : "") + s.Text(c);
    rows.push_back(row);
  }
  return rows;
}

TEST(Journal, FilesOfAnotherKindOrANewerVersionAreRefusedUntouched) {
  // SQL run on a new SQLite file (nullptr: a text file), the message.
  const std::pair<const char*, const char*> kCases[] = {
      {nullptr, "not a poshark journal (not an SQLite file)"},
      {"PRAGMA application_id = 1347635274; PRAGMA user_version = 3",
       "written by a newer poshark (journal version 3; this one reads version 2)"},
  };
  for (const auto& [sql, message] : kCases) {
    TempDir dir;
    const std::string path = dir / "j.sqlite";
    if (sql)
      Database(path, true).Exec(sql);
    else
      dir.Write("j.sqlite", "receipt text, not a database\n");
    const std::string before = ReadFile(path);
    for (bool write : {true, false}) {
      try {
        OpenJournal(path, write);
        ADD_FAILURE() << "accepted: " << message;
      } catch (const JournalError& e) {
        EXPECT_NE(std::string(e.what()).find("journal " + path + ": " + message), std::string::npos)
            << e.what();
      }
    }
    EXPECT_EQ(ReadFile(path), before) << message;
  }
}

// Receipts of `lines` lines of `width` bytes each, one per millisecond from `from`.
void AddReceipts(Journal& journal, int count, int lines, size_t width, int64_t from) {
  for (int i = 0; i < count; ++i) {
    journal.Add(JournalLine("a", kStart, "receipt " + std::to_string(i), from + i));
    for (int k = 0; k < lines; ++k) {
      journal.Add(
          JournalLine("a", kPlain, std::string(width, static_cast<char>('a' + k % 26)), from + i));
    }
    journal.Add(JournalLine("a", kStop, "", from + i));
  }
}

TEST(Journal, OldestReceiptsArePrunedBeyondTheAgeOrTheSize) {
  constexpr int64_t kDayMs = 24 * 3600 * 1000;
  constexpr int64_t kLimit = 1024 * 1024;
  const int64_t now = WallMs();
  const struct {
    Keep keep;
    int old, recent;  // receipts of three days ago, and of now
  } kCases[] = {{{kDayMs, 0}, 50, 100}, {{0, kLimit}, 0, 1000}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.keep.age_ms ? "age" : "size");
    TempDir dir;
    Journal journal(dir / "j.sqlite", c.keep);
    AddReceipts(journal, c.old, 2, 10, now - 3 * kDayMs);
    AddReceipts(journal, c.recent, 10, 100, now - 1000);  // 2 MB and more for the size
    auto db = OpenJournal(dir / "j.sqlite", false);
    auto used = [&] {
      return (db->Value("PRAGMA page_count") - db->Value("PRAGMA freelist_count")) *
             db->Value("PRAGMA page_size");
    };
    auto count = [&] { return db->Value("SELECT count(*) FROM receipts"); };
    ASSERT_TRUE(poshark::testing::WaitUntil(
        [&] {
          return db->Value("SELECT max(start_ms) FROM receipts") == now - 1000 + c.recent - 1 &&
                 (c.keep.age_ms ? count() == c.recent : used() <= kLimit);
        },
        kSanitized ? 60000 : 20000))  // beside the kill test, a sanitized writer took over 20 s
        << count() << " receipts, " << used() << " bytes";
    if (c.keep.bytes) {
      EXPECT_GT(count(), 100);
    }
    EXPECT_EQ(
        db->Value("SELECT count(*) FROM lines WHERE receipt NOT IN (SELECT id FROM receipts)"), 0);
    EXPECT_EQ(db->Value("SELECT count(*) FROM lines_fts WHERE lines_fts MATCH 'receipt'"), count());
  }
}

// Receipt and line numbers name one receipt or line for good, also once
// pruning has emptied the journal, and in a journal of the first versions
// (whose numbers started again then), which is rebuilt with its rows when
// opened to write; its lines are then numbered on after the last line a
// forward sent.
TEST(Journal, ReceiptAndLineNumbersAreNeverGivenTwice) {
  TempDir dir;
  { poshark::tool::JournalStore fresh(dir / "new.sqlite", {}); }
  {
    Database old(dir / "j.sqlite", true);
    for (std::string sql : Rows(*OpenJournal(dir / "new.sqlite", false),
                                "SELECT sql FROM sqlite_master WHERE sql NOT NULL AND name NOT"
                                " GLOB 'lines_fts_*' AND name <> 'sqlite_sequence' ORDER BY rowid",
                                1)) {
      if (size_t at = sql.find(" AUTOINCREMENT"); at != std::string::npos) sql.erase(at, 14);
      old.Exec(sql);  // (the forwards table too: its creation is idempotent)
    }
    old.Exec("PRAGMA application_id = " + std::to_string(poshark::tool::kJournalApplicationId) +
             "; PRAGMA user_version = 1; INSERT INTO receipts VALUES (7, 'a', 1, 0, 0, 0, 0, 1);"
             " INSERT INTO lines VALUES (5, 7, 0, 0, 0, 'sold', 'sold');"
             " INSERT INTO forwards VALUES ('hq', 'lines', 9)");
  }
  poshark::tool::JournalStore store(dir / "j.sqlite", Keep{1000, 0});
  EXPECT_EQ(store.PruneStep(WallMs()), 1);
  store.Begin();
  store.Write(JournalLine("a", kStart, "after the prune", WallMs()));
  store.Write(JournalLine("a", kStop, "", WallMs()));
  store.Commit();
  EXPECT_EQ(Rows(*OpenJournal(dir / "j.sqlite", false), "SELECT id, start_ms > 0 FROM receipts", 2),
            std::vector<std::string>{"8|1"});
  EXPECT_EQ(Rows(*OpenJournal(dir / "j.sqlite", false), "SELECT id FROM lines", 1),
            std::vector<std::string>{"10"});
  // Upgraded to the version with the forwards' positions.
  EXPECT_EQ(OpenJournal(dir / "j.sqlite", false)->Value("PRAGMA user_version"), 2);
}

// Forwards' positions are stored with the journal's commits, and pruning
// counts, for each forward, the receipts it removed before they were sent.
TEST(Journal, PruningCountsTheReceiptsEachForwardHadNotSent) {
  TempDir dir;
  poshark::tool::JournalStore store(dir / "j.sqlite", Keep{1, 0});
  store.Begin();
  for (int i = 0; i < 3; ++i) {
    store.Write(JournalLine("a", kStart, "item", WallMs() - 1000));
    store.Write(JournalLine("a", kStop, "total", WallMs() - 1000));
  }
  store.SavePosition("hq", "receipts", 1);
  store.SavePosition("lan", "receipts", 3);
  store.SavePosition("hq", "alarms", 7);
  store.Commit();
  EXPECT_EQ(store.PruneStep(WallMs()), 3);
  EXPECT_EQ(store.PrunedUnsent(), (std::map<std::string, int64_t>{{"hq", 2}}));
  EXPECT_EQ(Rows(*OpenJournal(dir / "j.sqlite", false),
                 "SELECT name, kind, position FROM forwards ORDER BY name, kind", 3),
            (std::vector<std::string>{"hq|alarms|7", "hq|receipts|1", "lan|receipts|3"}));
}

TEST(Journal, KeepValuesReadAsAgeAndSize) {
  constexpr int64_t kHour = 3600 * 1000, kMB = 1024 * 1024;
  const std::pair<const char*, std::optional<Keep>> kCases[] = {
      {" 90d , 2gb ", Keep{90 * 24 * kHour, 2048 * kMB}},
      {"500MB, 12H", Keep{12 * kHour, 500 * kMB}},
      {"all", Keep{}},
      {"90", {}},
      {"1d, 2d", {}},
      {"100001d", {}},
  };
  for (const auto& [text, want] : kCases) {
    Keep keep{1, 1};
    EXPECT_EQ(poshark::tool::ParseKeep(text, keep) ? std::optional(keep) : std::nullopt, want)
        << text;
  }
}

// A writer killed at a random moment while it writes: the journal still
// opens and passes SQLite's integrity check, and every line handed over
// more than 200 ms before the kill is there, in order, without a gap.
TEST(Journal, AKilledWriterLeavesAnIntactJournalWithAllButItsLast200Ms) {
  constexpr int kKills = 100;
  const int64_t kLossMs = kSanitized ? 1000 : 200;
  constexpr int64_t kSlackMs = 30;  // between two lines handed over
  TempDir dir;
  const std::string path = dir / "j.sqlite";
  std::mt19937 random(19);
  std::uniform_int_distribution<int> delay_ms(10, 280);
  for (int round = 0; round < kKills; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string channel = "k" + std::to_string(round);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    poshark::testing::ChildProcess writer([&]() -> int {
      close(ready[0]);
      Journal journal(path, Keep{});
      if (write(ready[1], "r", 1) != 1) return 1;
      for (int n = 0;; ++n) {
        journal.Add(
            JournalLine(channel, n % 40 == 0 ? kStart : kPlain, std::to_string(n), WallMs()));
        if (n % 5 == 4) usleep(1000);
      }
    });
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    close(ready[0]);
    const int64_t started = WallMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
    const int64_t killed = WallMs();
    writer.Signal(SIGKILL);
    writer.Wait();

    auto db = OpenJournal(path, true);
    EXPECT_EQ(Rows(*db, "PRAGMA integrity_check", 1), std::vector<std::string>{"ok"});
    const std::string of =
        " FROM lines l JOIN receipts r ON r.id = l.receipt WHERE r.channel = '" + channel + "'";
    auto texts = Rows(*db, "SELECT l.text" + of + " ORDER BY l.id", 1);
    for (size_t n = 0; n < texts.size(); ++n) ASSERT_EQ(texts[n], std::to_string(n));
    if (killed - kLossMs > started) {
      EXPECT_GE(db->Value("SELECT max(l.time_ms)" + of), killed - kLossMs - kSlackMs);
    }
  }
}

int64_t At(const char* local) {
  int64_t ms = 0;
  EXPECT_TRUE(poshark::tool::ParseSearchTime(local, false, ms)) << local;
  return ms;
}

// R1 to R4 on two channels over five days: a void, a capture, an alarm, a
// stop line with text, and a group of lines outside a transaction that the
// idle stop (an empty STOP) closes while R3 is open on the other channel.
void BuildJournal(const std::string& path) {
  Journal journal(path, Keep{});
  // channel, local time, event, text
  const std::tuple<const char*, const char*, int, const char*> kLines[] = {
      {"a", "2024-03-10T10:00:00", kStart, "R1 coffee"},
      {"a", "2024-03-10T10:00:01", kPlain, "beans 1 kg 18.90"},
      {"a", "2024-03-10T10:00:02", kStop, ""},
      {"b", "2024-03-12T21:30:00", kStart, "R2 green tea ΚΑΦΈΣ"},
      {"b", "2024-03-12T21:30:01", kVoid, "VOID tea"},
      {"b", "2024-03-12T21:30:02", kStop, ""},
      {"a", "2024-03-14T09:00:00", kStart, "R3 coffee beans grinder"},
      {"b", "2024-03-14T09:00:01", kPlain, "R4 coffee to go crème"},
      {"a", "2024-03-14T09:00:01", kPlain, "card **** 1111"},
      {"a", "2024-03-14T09:00:02", kStop, "total"},
      {"b", "2024-03-14T09:00:04", kStop, ""},
      {"b", "2024-03-14T09:00:05", kStop, ""},  // nothing open: nothing stored
  };
  for (const auto& [channel, time, event, text] : kLines) {
    LineRecord r = JournalLine(channel, event, text, At(time));
    if (r.text.find("card") == 0) r.findings.alarms.push_back({"card", 0, 1, "1111"});
    if (r.text.find("beans") == 0) r.findings.captures.push_back({"item", 3, 7, "beans"});
    journal.Add(std::move(r));
  }
}

std::string Labels(const std::string& out) {
  std::string labels;
  for (const auto& line : SplitLines(out)) {
    std::string first = nlohmann::json::parse(line)["lines"][0]["text"];
    labels += first.substr(0, first.find(' ')) + " ";
  }
  return labels;
}

TEST(Journal, LinesBecomeReceiptsThatSearchFindsByWordsRangesAndFlags) {
  TempDir dir;
  BuildJournal(dir / "j.sqlite");
  auto db = OpenJournal(dir / "j.sqlite", false);
  // channel, transaction, voided, alarms, length, lines
  EXPECT_EQ(Rows(*db,
                 "SELECT channel, transact, voided, alarms, stop_ms - start_ms,"
                 " (SELECT group_concat(text, ' ') FROM lines WHERE receipt = receipts.id)"
                 " FROM receipts ORDER BY id",
                 6),
            (std::vector<std::string>{"a|1|0|0|2000|R1 coffee beans 1 kg 18.90",
                                      "b|1|1|0|2000|R2 green tea ΚΑΦΈΣ VOID tea",
                                      "a|1|0|1|2000|R3 coffee beans grinder card **** 1111 total",
                                      "b|0|0|0|3000|R4 coffee to go crème"}));
  EXPECT_EQ(Rows(*db, "SELECT name, mdb_type, mdb_id, data FROM captures", 4),
            (std::vector<std::string>{"item|3|7|beans"}));
  EXPECT_EQ(Rows(*db, "SELECT l.text FROM alarms JOIN lines l ON l.id = alarms.line", 1),
            (std::vector<std::string>{"card **** 1111"}));
  // What a search finds (code 0), or the status and message of a bad one.
  const std::tuple<std::vector<std::string>, int, std::string> kCases[] = {
      {{}, 0, "R4 R3 R2 R1 "},
      {{"COFFEE", "beans"}, 0, "R3 R1 "},  // anywhere in the receipt
      {{"coffee beans"}, 0, "R3 "},        // a phrase
      {{"coff*"}, 0, "R4 R3 R1 "},
      {{"καφ*", "CRE*"}, 0, ""},  // folded as the index folds: case, accents
      {{"καφ*"}, 0, "R2 "},
      {{"CRÈ*"}, 0, "R4 "},
      {{"coffee to g*"}, 0, "R4 "},  // a phrase ending in a prefix
      {{"coffee g*"}, 0, ""},
      {{"say \"cheese\""}, 0, ""},
      {{"--channel", "b"}, 0, "R4 R2 "},
      {{"--pos", "1"}, 0, "R3 R1 "},
      {{"--until", "2024-03-12"}, 0, "R2 R1 "},  // the whole day
      {{"--since", "2024-03-12T21:30", "--until", "2024-03-14 09:00:00"}, 0, "R2 "},
      {{"--void"}, 0, "R2 "},
      {{"--alarms"}, 0, "R3 "},
      {{"--channel", "a", "--", "--void"}, 0, ""},
      {{"--channel=b", "--pos=2"}, 0, "R4 R2 "},  // --opt=value, as every command takes it
      {{"coffee", "--pos", "1"}, 0, "R3 R1 "},    // words before options
      {{"--pos"}, 2, "search: option --pos needs an argument"},
      {{"--bogus"}, 2, "search: unknown option --bogus"},
      {{"--pos", "x"}, 2, "--pos x: expected a number from 0 to 9999"},
      {{"--since", "2024-02-30"}, 2, "--since 2024-02-30: expected a date YYYY-MM-DD"},
      {{"--since", "2024-03-14", "--until", "2024-03-13"}, 2, "--until: expected a time after"},
      {{""}, 2, "WORDS: expected a word or a phrase"},
      {{"\""}, 2, "WORDS: expected a word or a phrase"},  // as on the page
      {std::vector<std::string>(17, "w"), 2, "WORDS: expected at most 16"},
      {{"--journal", dir / "none.sqlite"},
       1,
       "journal " + (dir / "none.sqlite") +
           ": cannot open (unable to open database file: No such file or directory)"},
  };
  for (const auto& [more, code, want] : kCases) {
    std::vector<std::string> args{"search", "--journal", dir / "j.sqlite", "--json"};
    args.insert(args.end(), more.begin(), more.end());
    auto r = RunTool({args});
    ASSERT_EQ(r.code, code) << r.err;
    if (code == 0) {
      EXPECT_EQ(Labels(r.out), want) << testing::PrintToString(more);
    } else {
      EXPECT_NE(r.err.find(want), std::string::npos) << r.err;
    }
  }
  // One receipt in full; the table shows the lines that hold the words.
  auto r = RunTool({{"search", "--journal", dir / "j.sqlite", "--json", "--void"}});
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(std::tuple(j["pos"], j["void"], j["lines"][1]["event"],
                       j["start"].get<std::string>().substr(0, 19)),
            std::tuple(2, true, "VOID", "2024-03-12T21:30:00"));
  r = RunTool({{"search", "--journal", dir / "j.sqlite", "1111"}});
  EXPECT_NE(r.out.find("ALARM"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    card **** 1111\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("R3 coffee"), std::string::npos) << r.out;
  // Common words walk the receipts and check each: the same answers as the
  // look-up of a rare word.
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"coffee"}, {"tea", "void"}, {"coff*", "beans"}, {"to", "x"}}) {
    poshark::tool::SearchQuery q;
    q.words = words;
    std::vector<int64_t> ids[2];
    for (bool common : {false, true}) {
      q.common_words = common;
      poshark::tool::Statement s(*db, poshark::tool::ReceiptQuery(q));
      poshark::tool::BindQuery(s, q);
      while (s.Step()) ids[common].push_back(s.Int(0));
    }
    EXPECT_EQ(ids[0], ids[1]) << testing::PrintToString(words);
  }
}

}  // namespace
}  // namespace poshark_test

namespace poshark_test {
namespace {

// A file system of kDiskBytes of its own, mounted over a folder for the
// life of the object; mounting needs root (as CI runs), so tests skip
// without it.
class SmallDisk {
 public:
  static constexpr int kDiskBytes = 1 << 20;
  explicit SmallDisk(const std::string& folder) : folder_(folder) {
    std::filesystem::create_directories(folder);
    const std::string size = "size=" + std::to_string(kDiskBytes);
    mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0, size.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  bool ReadOnly() {
    return mount("tmpfs", folder_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  std::string folder_;
  bool mounted_ = false;
};

// Fills the file system of a folder to the last byte.
void FillUp(const std::string& file) {
  std::ofstream out(file, std::ios::binary);
  const std::string block(4096, 'x');
  while (out.write(block.data(), block.size())) {
  }
}

int64_t LostInLog(const std::string& log) {
  const std::string mark = "writing again; ";
  auto at = log.find(mark);
  return at == std::string::npos ? -1 : std::stoll(log.substr(at + mark.size()));
}

// A full disk loses the lines of the transactions it refused and says how
// many; once there is room again the rest are kept. A journal on a
// read-only file system is read by search and refused for writing with
// the reason.
TEST(Journal, AFullDiskCountsTheLinesItLostAndAReadOnlyOneSaysWhy) {
  TempDir dir;
  const std::string folder = dir / "disk";
  SmallDisk disk(folder);
  if (!disk.Mounted()) GTEST_SKIP() << "mounting a file system needs root";
  const std::string path = folder + "/j.sqlite";
  constexpr int kFull = 3000, kAfter = 50;
  testing::internal::CaptureStderr();
  {
    Journal journal(path, Keep{});
    FillUp(folder + "/filler");
    const std::string text(200, 'q');
    for (int n = 0; n < kFull; ++n) {
      journal.Add(JournalLine("a", n % 50 == 0 ? kStart : kPlain, text, WallMs()));
      if (n % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Every line taken by the writer before there is room again, and after.
    auto written = [&] { return journal.Stats().queued_lines == 0; };
    ASSERT_TRUE(poshark::testing::WaitUntil(written, 30000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::filesystem::remove(folder + "/filler");
    for (int n = 0; n < kAfter; ++n) journal.Add(JournalLine("a", kPlain, "after", WallMs()));
    ASSERT_TRUE(poshark::testing::WaitUntil(written, 30000));
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("lines lost (and the next ones until it writes again)"), std::string::npos)
      << log;
  const int64_t lost = LostInLog(log);
  ASSERT_GT(lost, 0) << log;
  auto db = OpenJournal(path, false);
  EXPECT_EQ(db->Value("SELECT count(*) FROM lines") + lost, kFull + kAfter);
  EXPECT_EQ(db->Value("SELECT count(*) FROM lines WHERE text = 'after'"), kAfter);
  db.reset();

  ASSERT_TRUE(disk.ReadOnly());
  EXPECT_EQ(OpenJournal(path, false)->Value("SELECT count(*) FROM lines WHERE text = 'after'"),
            kAfter);
  try {
    Journal journal(path, Keep{});
    ADD_FAILURE() << "a journal on a read-only file system was opened for writing";
  } catch (const JournalError& e) {
    EXPECT_NE(std::string(e.what()).find("Read-only file system"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace poshark_test
