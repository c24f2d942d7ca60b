#include "page/CentralPages.h"

#include <limits>

#include "base/JsonText.h"
#include "base/Log.h"
#include "base/Text.h"
#include "base/Usage.h"
#include "collect/CentralSearch.h"

namespace poshark::tool {

namespace {

// The database could not be read: the log says why (its server's words are
// no business of a browser's).
PageAnswer Unavailable(const CentralError& e) {
  Log(LogLevel::kWarning, std::string("page: ") + e.what());
  return {503, "the database cannot be read now (the service's log says why)"};
}

void AddTime(std::string& out, const std::optional<int64_t>& ms) {
  if (ms)
    AppendJsonString(out, IsoTimeOf(*ms));
  else
    out += "null";
}

PageAnswer Search(const DatabaseSettings& d, const PageParam& param) {
  SearchQuery q;
  if (PageAnswer bad = ReadSearchParams(param, q); bad.status != 200) return bad;
  if (auto store = param("store"); store && !store->empty()) q.store = *store;
  try {
    CentralSearch db(d.url, d.password);
    std::string body = "[";
    db.Search(q, kPageResults, false, kPageResultLines, [&](const CentralReceipt& r) {
      std::string head = r.head_json;
      head.pop_back();  // the closing brace: the lines follow
      head += ",\"lines\":[";
      for (size_t i = 0; i < r.shown.size(); ++i) {
        if (i > 0) head += ',';
        AppendJsonString(head, r.shown[i]);
      }
      body += (body.size() > 1 ? "," : "") + head + "]}";
      return true;
    });
    return {200, body + "]"};
  } catch (const CentralError& e) {
    return Unavailable(e);
  }
}

PageAnswer Receipt(const DatabaseSettings& d, const PageParam& param) {
  auto store = param("store");
  auto id = param("id");
  auto channel = param("channel");
  auto time = param("time");
  const long most = std::numeric_limits<long>::max();
  long number = 0;
  if (!store || store->empty()) return BadParam("store", "the store's id");
  if (id) {
    if (!ParseNumberIn(*id, 0, most, number)) return BadParam("id", "a receipt number");
  } else if (!channel || !time || !ParseNumberIn(*time, 0, most, number)) {
    return BadParam("id", "a receipt number, or channel and time (milliseconds since 1970)");
  }
  try {
    CentralSearch db(d.url, d.password);
    auto r = id ? db.ReceiptById(*store, number) : db.ReceiptAt(*store, *channel, number);
    if (!r) return {404, "no such receipt in the database"};
    return {200, r->Json()};
  } catch (const CentralError& e) {
    return Unavailable(e);
  }
}

PageAnswer Stores(const DatabaseSettings& d) {
  try {
    CentralSearch db(d.url, d.password);
    std::string body = "{\"stores\":[";
    for (const auto& s : db.Stores()) {
      body += body.back() == '[' ? "{\"store\":" : ",{\"store\":";
      AppendJsonString(body, s.store);
      body += ",\"status\":";
      AppendJsonString(body, s.status);
      body += ",\"status_time\":";
      AddTime(body, s.status_ms);
      body += "}";
    }
    body += "],\"channels\":[";
    for (const auto& c : db.Channels()) {
      body += body.back() == '[' ? "{\"store\":" : ",{\"store\":";
      AppendJsonString(body, c.store);
      body += ",\"channel\":";
      AppendJsonString(body, c.channel);
      body += ",\"pos\":" + std::to_string(c.pos) + ",\"last_receipt\":";
      AddTime(body, c.last_receipt_ms);
      body += "}";
    }
    return {200, body + "]}"};
  } catch (const CentralError& e) {
    return Unavailable(e);
  }
}

}  // namespace

PageSource CentralPages(const DatabaseSettings& database) {
  return {[database](const PageParam& p) { return Search(database, p); },
          [database](const PageParam& p) { return Receipt(database, p); },
          [database](const PageParam&) { return Stores(database); }};
}

}  // namespace poshark::tool
