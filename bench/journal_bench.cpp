// The receipt journal at the size of a busy store: how fast its writer
// stores receipts, and how long a word takes to be found among a million
// of them, rare and common, as `poshark search` lists every receipt and as
// the page shows the newest (the journal is built once, in /tmp, and kept
// for later runs).
#include <benchmark/benchmark.h>
#include <poshark/RCPosHark.h>

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

#include "journal/JournalDb.h"
#include "journal/JournalStore.h"
#include "journal/Receipts.h"
#include "journal/SearchArgs.h"

namespace {

using namespace poshark::tool;

// POSHARK_JOURNAL_RECEIPTS sets another count.
constexpr int kReceipts = 1000000;
constexpr int kItems = 10;  // item lines per receipt, besides its head and total
constexpr int kReceiptsPerCommit = 1000;
const char* const kWords[] = {"coffee", "tea",   "milk",  "bread", "butter", "cheese",
                              "apples", "sugar", "flour", "eggs",  "juice",  "water",
                              "rice",   "pasta", "salt",  "soap"};

LineRecord Line(int event, std::string text, int64_t ms) {
  LineRecord r;
  r.channel = "till" + std::to_string(ms % 8);
  r.pos = static_cast<int>(ms % 8) + 1;
  r.event = event;
  r.raw = r.text = std::move(text);
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  r.time = {static_cast<uint16_t>(tm.tm_year + 1900), static_cast<uint16_t>(tm.tm_mon + 1),
            static_cast<uint16_t>(tm.tm_wday),        static_cast<uint16_t>(tm.tm_mday),
            static_cast<uint16_t>(tm.tm_hour),        static_cast<uint16_t>(tm.tm_min),
            static_cast<uint16_t>(tm.tm_sec),         static_cast<uint16_t>(ms % 1000)};
  r.dst = tm.tm_isdst > 0;
  r.time_ms = ms;
  return r;
}

// Receipt n: a head, item lines, a total, the cut. Receipt 4242 alone
// holds the word "needle".
void WriteReceipt(JournalStore& store, int64_t n) {
  const int64_t ms = 1700000000000 + n * 1000;
  store.Write(Line(POSHARK_EVENT_START, "CORNER SHOP receipt " + std::to_string(n), ms));
  for (int i = 0; i < kItems; ++i) {
    const char* word = kWords[(n * 7 + i * 3) % std::size(kWords)];
    store.Write(Line(-1, std::string(word) + " 1 x " + std::to_string(n % 97) + ".90", ms));
  }
  store.Write(Line(-1, n == 4242 ? "TOTAL needle" : "TOTAL 12.30", ms));
  store.Write(Line(POSHARK_EVENT_STOP, "", ms));
}

int ReceiptCount() {
  const char* env = std::getenv("POSHARK_JOURNAL_RECEIPTS");
  return env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : kReceipts;
}

// The big journal, built on first use.
std::string BigJournal() {
  const int count = ReceiptCount();
  const std::string path = "/tmp/poshark-journal-bench-" + std::to_string(count) + ".sqlite";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return path;
  JournalStore store(path + ".part", Keep{});
  for (int n = 0; n < count; n += kReceiptsPerCommit) {
    store.Begin();
    for (int k = n; k < n + kReceiptsPerCommit && k < count; ++k) WriteReceipt(store, k);
    store.Commit();
  }
  if (std::rename((path + ".part").c_str(), path.c_str()) != 0) std::abort();
  std::remove((path + ".part-wal").c_str());
  std::remove((path + ".part-shm").c_str());
  return path;
}

void JournalWrite(benchmark::State& state) {
  const std::string path = "/tmp/poshark-journal-bench-write.sqlite";
  std::remove(path.c_str());
  JournalStore store(path, Keep{});
  int64_t n = 0;
  for (auto _ : state) {
    store.Begin();
    for (int k = 0; k < kReceiptsPerCommit; ++k) WriteReceipt(store, n++);
    store.Commit();
  }
  state.SetItemsProcessed(n);  // receipts
  state.counters["lines"] =
      benchmark::Counter(static_cast<double>(n * (kItems + 2)), benchmark::Counter::kIsRate);
}
BENCHMARK(JournalWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// The yardstick of JournalWrite, in the same run: the same lines as plain
// rows (time, text) of a table without indexes or full-text entries, in
// commits of the same size and the journal's write-ahead settings.
void PlainInsertYardstick(benchmark::State& state) {
  const std::string path = "/tmp/poshark-journal-bench-plain.sqlite";
  std::remove(path.c_str());
  Database db(path, true);
  db.Exec("PRAGMA journal_mode = WAL");
  db.Exec("PRAGMA synchronous = NORMAL");
  db.Exec("CREATE TABLE rows (time INTEGER, text TEXT)");
  Statement insert(db, "INSERT INTO rows (time, text) VALUES (?, ?)");
  int64_t n = 0;
  for (auto _ : state) {
    db.Exec("BEGIN");
    for (int k = 0; k < kReceiptsPerCommit; ++k, ++n) {
      const int64_t ms = 1700000000000 + n * 1000;
      for (int i = 0; i < kItems + 2; ++i) {
        insert.Reset();
        insert.Bind(1, ms).Bind(2, std::string(kWords[(n + i) % std::size(kWords)]) + " 1 x 2.90");
        insert.Run();
      }
    }
    db.Exec("COMMIT");
  }
  state.SetItemsProcessed(n);  // receipts' worth of rows
  state.counters["lines"] =
      benchmark::Counter(static_cast<double>(n * (kItems + 2)), benchmark::Counter::kIsRate);
}
BENCHMARK(PlainInsertYardstick)->Unit(benchmark::kMillisecond)->UseRealTime();

// The yardstick of JournalSearch, in the same run: one line of the big
// journal read by its row number.
void RowLookupYardstick(benchmark::State& state) {
  auto db = OpenJournal(BigJournal(), false);
  Statement s(*db, "SELECT text FROM lines WHERE rowid = ?");
  int64_t id = 1;
  for (auto _ : state) {
    s.Reset();
    s.Bind(1, id = id * 7919 % 1000003 + 1);
    benchmark::DoNotOptimize(s.Step());
  }
}
BENCHMARK(RowLookupYardstick)->Unit(benchmark::kMillisecond)->UseRealTime();

// What the page shows of a search.
constexpr int kPageReceipts = 100;
constexpr int kPageLines = 3;

// One search as the command line (no limit, every receipt listed) or the
// page (its newest receipts, each with the first lines that hold a word)
// runs it; counts the receipts found.
void Search(benchmark::State& state, std::vector<std::string> words, bool page) {
  auto db = OpenJournal(BigJournal(), false);
  SearchQuery q;
  q.words = std::move(words);
  int64_t found = 0;
  for (auto _ : state) {
    RarestFirst(*db, q);
    if (!page) q.common_words = false;  // as `poshark search` does: it lists every receipt
    Statement s(*db, ReceiptQuery(q) + (page ? " LIMIT " + std::to_string(kPageReceipts) : ""));
    BindQuery(s, q);
    for (found = 0; s.Step(); ++found) {
      if (page) benchmark::DoNotOptimize(MatchingLines(*db, s.Int(0), q, kPageLines));
    }
  }
  state.counters["found"] = static_cast<double>(found);
}

void JournalSearch(benchmark::State& state, std::vector<std::string> words) {
  Search(state, std::move(words), false);
}
BENCHMARK_CAPTURE(JournalSearch, RareWord, std::vector<std::string>{"needle"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(JournalSearch, CommonAndRareWord, std::vector<std::string>{"corner", "needle"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_CAPTURE(JournalSearch, CommonWord, std::vector<std::string>{"corner"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// The page's answer: the newest receipts that hold the words.
void PageSearch(benchmark::State& state, std::vector<std::string> words) {
  Search(state, std::move(words), true);
}
BENCHMARK_CAPTURE(PageSearch, CommonWord, std::vector<std::string>{"corner"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(PageSearch, ThreeCommonPrefixes,
                  std::vector<std::string>{"corn*", "coffee*", "total*"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(PageSearch, CommonAndRareWord, std::vector<std::string>{"corner", "needle"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
