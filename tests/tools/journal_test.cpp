// The journal: receipts stored as the lines come, files it refuses,
// retention by age and by size, and a writer killed while it writes.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "Journal.h"
#include "JournalLines.h"
#include "ToolProcess.h"
#include "support/LineCollector.h"

namespace poshark_test {
namespace {

using poshark::tool::Database;
using poshark::tool::Journal;
using poshark::tool::JournalError;
using poshark::tool::Keep;
using poshark::tool::OpenJournal;

constexpr int kStart = 0, kStop = 1, kVoid = 2, kPlain = -1;

TEST(Journal, LinesBecomeReceiptsWithTheirFindings) {
  TempDir dir;
  const int64_t t = WallMs();
  {
    Journal journal(dir / "j.sqlite", Keep{});
    const struct {
      const char* channel;
      int event;
      const char* text;
    } kLines[] = {
        {"a", kPlain, "hello"}, {"a", kPlain, "world"}, {"a", kStop, ""},  // a group, idle stop
        {"a", kStart, "R1"},    {"b", kStart, "B1"},    {"a", kPlain, "coffee"},
        {"a", kVoid, "VOID"},   {"a", kStop, "total"},  {"b", kPlain, "tea"},
        {"b", kStart, "B2"},    {"a", kPlain, "after"}, {"a", kStop, ""},
        {"a", kStop, ""},  // nothing open: nothing stored
    };
    int64_t at = t;
    for (const auto& l : kLines) {
      LineRecord r = JournalLine(l.channel, l.event, l.text, at += 10);
      if (std::string(l.text) == "coffee") {
        r.findings.captures.push_back({"item", 3, 7, "coffee"});
        r.findings.alarms.push_back({"late", 2, 1, "coffee"});
      }
      journal.Add(std::move(r));
    }
  }
  auto db = OpenJournal(dir / "j.sqlite", false);
  // channel, transaction, voided, alarms, closed, lines
  EXPECT_EQ(Rows(*db,
                 "SELECT channel, transact, voided, alarms, stop_ms IS NOT NULL,"
                 " (SELECT group_concat(text, ' ') FROM lines WHERE receipt = receipts.id)"
                 " FROM receipts ORDER BY id",
                 6),
            (std::vector<std::string>{"a|0|0|0|1|hello world", "a|1|1|1|1|R1 coffee VOID total",
                                      "b|1|0|0|1|B1 tea", "b|1|0|0|1|B2", "a|0|0|0|1|after"}));
  EXPECT_EQ(Rows(*db, "SELECT name, mdb_type, mdb_id, data FROM captures", 4),
            (std::vector<std::string>{"item|3|7|coffee"}));
  EXPECT_EQ(Rows(*db, "SELECT l.text FROM alarms JOIN lines l ON l.id = alarms.line", 1),
            (std::vector<std::string>{"coffee"}));
  // The group's stop is the idle stop's time; the others close at their last line.
  EXPECT_EQ(Rows(*db, "SELECT stop_ms - start_ms FROM receipts ORDER BY id LIMIT 2", 1),
            (std::vector<std::string>{"20", "40"}));
}

TEST(Journal, FilesOfAnotherKindOrANewerVersionAreRefusedUntouched) {
  const struct {
    const char* sql;  // run on a new SQLite file; nullptr: a text file
    const char* message;
  } kCases[] = {
      {nullptr, "not a poshark journal (not an SQLite file)"},
      {"CREATE TABLE orders(id INTEGER)", "not a poshark journal (another program's SQLite file)"},
      {"PRAGMA application_id = 7", "not a poshark journal (another program's SQLite file)"},
      {"PRAGMA application_id = 1347635274; PRAGMA user_version = 2",
       "written by a newer poshark (journal version 2; this one reads version 1)"},
  };
  for (const auto& c : kCases) {
    TempDir dir;
    const std::string path = dir / "j.sqlite";
    if (c.sql == nullptr) {
      WriteFile(path, "receipt text, not a database\n");
    } else {
      Database(path, true).Exec(c.sql);
    }
    const std::string before = ReadFile(path);
    for (bool write : {true, false}) {
      try {
        OpenJournal(path, write);
        ADD_FAILURE() << "accepted: " << c.message;
      } catch (const JournalError& e) {
        EXPECT_NE(std::string(e.what()).find("journal " + path + ": " + c.message),
                  std::string::npos)
            << e.what();
      }
    }
    EXPECT_EQ(ReadFile(path), before) << c.message;
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
    const int64_t newest = c.old + c.recent;
    ASSERT_TRUE(poshark::testing::WaitUntil(
        [&] {
          return db->Value("SELECT max(id) FROM receipts") == newest &&
                 (c.keep.age_ms ? count() == c.recent : used() <= kLimit);
        },
        20000))
        << count() << " receipts, " << used() << " bytes";
    if (c.keep.bytes) {
      EXPECT_GT(count(), 100);
    }
    EXPECT_EQ(
        db->Value("SELECT count(*) FROM lines WHERE receipt NOT IN (SELECT id FROM receipts)"), 0);
    EXPECT_EQ(db->Value("SELECT count(*) FROM lines_fts WHERE lines_fts MATCH 'receipt'"), count());
  }
}

TEST(Journal, KeepValuesReadAsAgeAndSize) {
  constexpr int64_t kHour = 3600 * 1000, kMB = 1024 * 1024;
  const struct {
    const char* text;
    bool ok;
    Keep keep;
  } kCases[] = {
      {"90d", true, {90 * 24 * kHour, 0}},
      {"500MB", true, {0, 500 * kMB}},
      {" 90d , 2gb ", true, {90 * 24 * kHour, 2048 * kMB}},
      {"2GB, 12H", true, {12 * kHour, 2048 * kMB}},
      {"all", true, {}},
      {"90", false, {}},
      {"0d", false, {}},
      {"1d, 2d", false, {}},
      {"1.5GB", false, {}},
      {"", false, {}},
      {"100001d", false, {}},
  };
  for (const auto& c : kCases) {
    Keep keep{1, 1};
    EXPECT_EQ(poshark::tool::ParseKeep(c.text, keep), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(keep, c.keep) << c.text;
    }
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
    poshark::tool::Statement lines(*db,
                                   "SELECT l.text, l.time_ms FROM lines l JOIN receipts r"
                                   " ON r.id = l.receipt WHERE r.channel = ? ORDER BY l.id");
    lines.Bind(1, channel);
    int64_t expected = 0, last_ms = started;
    while (lines.Step()) {
      ASSERT_EQ(lines.Text(0), std::to_string(expected++));
      last_ms = lines.Int(1);
    }
    if (killed - kLossMs > started) {
      EXPECT_GE(last_ms, killed - kLossMs - kSlackMs);
    }
  }
}

}  // namespace
}  // namespace poshark_test
