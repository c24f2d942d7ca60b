#include "collect/CentralSearch.h"

#include <libpq-fe.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>

#include "collect/PgResult.h"
#include "journal/Receipts.h"

namespace poshark::tool {

namespace {

using nlohmann::json;
using Ordered = nlohmann::ordered_json;

using Result = PgResult;

// A receipt's columns; the last one is added by the caller (its lines).
constexpr char kColumns[] =
    "SELECT r.store, r.channel, r.id, r.pos, r.alarms,"
    " (extract(epoch FROM r.start_time) * 1000)::bigint,"
    " (extract(epoch FROM r.stop_time) * 1000)::bigint, r.void, r.transaction, r.doc::text, ";
constexpr char kEveryLine[] = "r.lines::text";
constexpr char kOrder[] = " ORDER BY r.start_time DESC, r.store, r.channel, r.id DESC";

// Keys of a receipt's head and of a line, in the order the store writes
// them (the database keeps documents as jsonb, which orders keys its way).
const std::vector<std::string> kHeadKeys = {"store", "id",          "channel", "pos",   "start",
                                            "stop",  "transaction", "void",    "alarms"};
const std::vector<std::string> kLineKeys = {"channel",  "time",   "dst",   "pos",
                                            "event",    "text",   "raw",   "extra",
                                            "captures", "alarms", "ranges"};

Ordered InOrder(const json& doc, const std::vector<std::string>& keys) {
  Ordered out = Ordered::object();
  for (const auto& k : keys)
    if (doc.contains(k)) out[k] = Ordered::parse(doc[k].dump());
  for (const auto& [k, v] : doc.items())
    if (!out.contains(k)) out[k] = Ordered::parse(v.dump());
  return out;
}

std::string Dump(const Ordered& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A word as an ILIKE pattern: anywhere in the line, its own % _ and \ taken
// as themselves, and a closing * (a prefix in the journal's search) dropped,
// since a pattern matches the beginnings of words anyway.
std::string LikePattern(const std::string& word) {
  std::string w = word.size() > 1 && word.back() == '*' ? word.substr(0, word.size() - 1) : word;
  std::string pattern = "%";
  for (char c : w) {
    if (c == '%' || c == '_' || c == '\\') pattern += '\\';
    pattern += c;
  }
  return pattern + "%";
}

int64_t IntOf(const PGresult* r, int row, int col) { return std::stoll(PQgetvalue(r, row, col)); }

CentralReceipt ReadRow(const PGresult* r, int row, bool full_lines) {
  CentralReceipt c;
  c.store = PQgetvalue(r, row, 0);
  c.channel = PQgetvalue(r, row, 1);
  c.id = IntOf(r, row, 2);
  c.pos = IntOf(r, row, 3);
  c.alarms = IntOf(r, row, 4);
  c.start_ms = IntOf(r, row, 5);
  if (!PQgetisnull(r, row, 6)) c.stop_ms = IntOf(r, row, 6);
  c.voided = PQgetvalue(r, row, 7)[0] == 't';
  c.transaction = PQgetvalue(r, row, 8)[0] == 't';
  c.head_json = Dump(InOrder(json::parse(PQgetvalue(r, row, 9)), kHeadKeys));
  const json lines = json::parse(PQgetvalue(r, row, 10));
  if (full_lines) {
    Ordered all = Ordered::array();
    for (const auto& l : lines) all.push_back(InOrder(l, kLineKeys));
    c.lines_json = Dump(all);
  } else {
    for (const auto& t : lines) c.shown.push_back(t.get<std::string>());
  }
  return c;
}

}  // namespace

// Query parameters as text, each named $N in the order added.
struct CentralSearch::Params {
  std::vector<std::string> values;
  std::string Add(std::string value) {
    values.push_back(std::move(value));
    return "$" + std::to_string(values.size());
  }
  std::string Time(int64_t ms) {
    return "to_timestamp(" + Add(std::to_string(ms)) + "::float8 / 1000)";
  }
  std::vector<const char*> Pointers() const {
    std::vector<const char*> p;
    for (const auto& v : values) p.push_back(v.c_str());
    return p;
  }
};

std::string CentralReceipt::Json() const {
  std::string doc = head_json;
  doc.pop_back();  // the head's closing brace: the lines follow
  return doc + ",\"lines\":" + (lines_json.empty() ? "[]" : lines_json) + "}";
}

CentralSearch::CentralSearch(const std::string& url, const std::string& password) {
  const std::string timeout = std::to_string(kCentralConnectSeconds);
  // Reads only: the connection refuses to write, and a query that runs
  // too long is ended by the server.
  const std::string options = "-c default_transaction_read_only=on -c statement_timeout=" +
                              std::to_string(kCentralQuerySeconds * 1000);
  std::vector<const char*> keys = {"dbname", "application_name", "connect_timeout", "options"};
  std::vector<const char*> values = {url.c_str(), "poshark search", timeout.c_str(),
                                     options.c_str()};
  if (!password.empty()) {
    keys.push_back("password");
    values.push_back(password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  conn_ = PQconnectdbParams(keys.data(), values.data(), 1);
  if (conn_ == nullptr) throw CentralError("database: out of memory");
  if (PQstatus(conn_) == CONNECTION_OK) return;
  try {
    Fail("database");
  } catch (...) {
    PQfinish(conn_);  // no destructor for an object never made
    throw;
  }
}

CentralSearch::~CentralSearch() { PQfinish(conn_); }

void CentralSearch::Fail(const std::string& what) {
  std::string why = PQerrorMessage(conn_);
  while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
  throw CentralError(what + ": " + why);
}

void CentralSearch::Exec(const std::string& sql) {
  Result r(PQexec(conn_, sql.c_str()));
  const auto status = PQresultStatus(r.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail("database");
}

void CentralSearch::Search(const SearchQuery& q, int limit, bool full_lines, int shown,
                           const std::function<bool(const CentralReceipt&)>& each) {
  Params p;
  std::string where = " FROM receipts r WHERE true";
  if (q.store) where += " AND r.store = " + p.Add(*q.store);
  if (q.channel) where += " AND r.channel = " + p.Add(*q.channel);
  if (q.pos) where += " AND r.pos = " + p.Add(std::to_string(*q.pos)) + "::integer";
  if (q.since_ms) where += " AND r.start_time >= " + p.Time(*q.since_ms);
  if (q.until_ms) where += " AND r.start_time < " + p.Time(*q.until_ms);
  if (q.voided) where += " AND r.void";
  if (q.alarms) where += " AND r.alarms > 0";
  // A receipt's words are its lines' texts joined by newlines: a word is in
  // them when it is on one of its lines (only a word that holds a newline
  // could run from one line into the next).
  std::string any;  // the words, for the lines shown
  for (const auto& w : q.words) {
    const std::string name = p.Add(LikePattern(w));
    any += (any.empty() ? "" : ", ") + name;
    where += " AND r.words ILIKE " + name;
  }
  const std::string lines =
      full_lines ? std::string(kEveryLine)
                 : "(SELECT coalesce(json_agg(l.t ORDER BY l.n), '[]') FROM (SELECT e->>'text' t, n"
                   " FROM jsonb_array_elements(r.lines) WITH ORDINALITY x(e, n)"
                   " WHERE e->>'text' <> ''" +
                       (any.empty() ? "" : " AND e->>'text' ILIKE ANY (ARRAY[" + any + "])") +
                       " ORDER BY n LIMIT " + std::to_string(shown) + ") l)::text";
  std::string sql = kColumns + lines + where + kOrder;
  if (limit > 0) sql += " LIMIT " + std::to_string(limit);
  Exec("BEGIN");
  const auto values = p.Pointers();
  Result declared(PQexecParams(conn_, ("DECLARE found NO SCROLL CURSOR FOR " + sql).c_str(),
                               static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                               nullptr, 0));
  if (PQresultStatus(declared.get()) != PGRES_COMMAND_OK) Fail("database");
  const std::string fetch = "FETCH " + std::to_string(kCentralFetchRows) + " FROM found";
  for (bool more = true; more;) {
    Result rows(PQexec(conn_, fetch.c_str()));
    if (PQresultStatus(rows.get()) != PGRES_TUPLES_OK) Fail("database");
    const int n = PQntuples(rows.get());
    for (int i = 0; i < n && more; ++i) more = each(ReadRow(rows.get(), i, full_lines));
    more = more && n == kCentralFetchRows;
  }
  Exec("COMMIT");
}

std::optional<CentralReceipt> CentralSearch::One(const std::string& where, Params& p) {
  const std::string sql =
      kColumns + std::string(kEveryLine) + " FROM receipts r WHERE " + where + kOrder + " LIMIT 1";
  const auto values = p.Pointers();
  Result r(PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                        nullptr, nullptr, 0));
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("database");
  if (PQntuples(r.get()) == 0) return std::nullopt;
  return ReadRow(r.get(), 0, true);
}

std::optional<CentralReceipt> CentralSearch::ReceiptById(const std::string& store, int64_t id) {
  Params p;
  return One("r.store = " + p.Add(store) + " AND r.id = " + p.Add(std::to_string(id)) + "::bigint",
             p);
}

std::optional<CentralReceipt> CentralSearch::ReceiptAt(const std::string& store,
                                                       const std::string& channel,
                                                       int64_t time_ms) {
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  if (time_ms > now_ms + kReceiptAtSlackMs) return std::nullopt;  // a time yet to come
  Params p;
  auto r = One("r.store = " + p.Add(store) + " AND r.channel = " + p.Add(channel) +
                   " AND r.start_time <= " + p.Time(time_ms),
               p);
  // Receipts of one channel follow one another: when the latest that began
  // before the time had closed well before it, none was open then.
  if (r && r->stop_ms && *r->stop_ms + kReceiptAtSlackMs < time_ms) return std::nullopt;
  return r;
}

std::vector<StoreHealth> CentralSearch::Stores() {
  Result r(PQexec(conn_,
                  "SELECT store, coalesce(status, ''),"
                  " (extract(epoch FROM status_time) * 1000)::bigint FROM stores ORDER BY store"));
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("database");
  std::vector<StoreHealth> stores;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    StoreHealth s{PQgetvalue(r.get(), i, 0), PQgetvalue(r.get(), i, 1), std::nullopt};
    if (!PQgetisnull(r.get(), i, 2)) s.status_ms = IntOf(r.get(), i, 2);
    stores.push_back(std::move(s));
  }
  return stores;
}

std::vector<ChannelHealth> CentralSearch::Channels() {
  // One look-up per channel in the index on (store, channel, start_time)
  // of each month, newest first: the cost grows with the channels, not
  // with the receipts.
  Result r(PQexec(conn_,
                  "SELECT c.store, c.channel, c.pos, (extract(epoch FROM last.t) * 1000)::bigint"
                  " FROM channels c LEFT JOIN LATERAL (SELECT r.start_time t FROM receipts r"
                  " WHERE r.store = c.store AND r.channel = c.channel"
                  " ORDER BY r.start_time DESC LIMIT 1) last ON true ORDER BY 1, 2"));
  if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) Fail("database");
  std::vector<ChannelHealth> channels;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    ChannelHealth c{PQgetvalue(r.get(), i, 0), PQgetvalue(r.get(), i, 1), IntOf(r.get(), i, 2),
                    std::nullopt};
    if (!PQgetisnull(r.get(), i, 3)) c.last_receipt_ms = IntOf(r.get(), i, 3);
    channels.push_back(std::move(c));
  }
  return channels;
}

}  // namespace poshark::tool
