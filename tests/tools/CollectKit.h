// The head office's side for the collector's tests: stores' `serve`
// forwarding to a broker, `poshark collect` processes, and what the
// database holds of the stores' receipts.
#pragma once

#include <sys/stat.h>

#include <map>
#include <set>

#include "MqttKit.h"
#include "PgKit.h"
#include "journal/JournalDb.h"

namespace poshark_test {

// `poshark serve` as store `id` with channels a (receipts with a void: an
// alarm) and b, forwarding to the broker; `forward` adds keys to the
// forward's section.
class Store : public Service {
 public:
  Store(const std::string& id, int broker_port, const std::string& forward = "")
      : Service("output = /dev/null\nstore = " + id +
                    "\n[channel a]\nsource = tcp:127.0.0.1:0\nkeys = 1\nidle = 1s\n"
                    "[channel b]\nsource = tcp:127.0.0.1:0\nkeys = 1\nidle = 1s\n"
                    "[forward hq]\nurl = mqtt://127.0.0.1:" +
                    std::to_string(broker_port) + "\n" + forward,
                {}, true),
        id_(id) {
    for (const char* channel : {"a", "b"})
      ports_[channel] = Port(std::string("channel ") + channel + ": listening on ");
  }
  void Print(const std::string& channel) {
    int fd = ConnectLoopback(ports_[channel]);
    SendAll(fd, ReadFile(ReceiptsDir() + (channel == "a" ? "/void.bin" : "/plain.bin")));
    close(fd);
  }
  // "STORE/ID" of every closed receipt in the journal, and its line count.
  // Lines that raised an alarm.
  int Alarms() {
    auto db = poshark::tool::OpenJournal(*this / "journal.sqlite", false);
    poshark::tool::Statement s(*db, "SELECT count(DISTINCT line) FROM alarms");
    return s.Step() ? static_cast<int>(s.Int(0)) : -1;
  }
  std::set<std::string> Receipts() {
    auto db = poshark::tool::OpenJournal(*this / "journal.sqlite", false);
    poshark::tool::Statement s(*db, "SELECT id FROM receipts WHERE stop_ms IS NOT NULL");
    std::set<std::string> ids;
    while (s.Step()) ids.insert(id_ + "/" + std::to_string(s.Int(0)));
    return ids;
  }

 private:
  std::string id_;
  std::map<std::string, int> ports_;
};

// `poshark collect` with a configuration of its own; the password in a
// file only its owner reads.
class Collect : TempDir {
 public:
  Collect(const std::string& client_id, int broker_port, const std::string& db_url,
          const std::string& group = "hq", const std::string& password = kPgPassword) {
    Write("pw", password + "\n");
    chmod((*this / "pw").c_str(), 0600);
    Write("collect.ini",
          "[service]\nlog = debug\n[broker]\nurl = mqtt://127.0.0.1:" +
              std::to_string(broker_port) + "\nclient_id = " + client_id + "\nkeepalive = 5\n" +
              (group.empty() ? "" : "group = " + group + "\n") + "[database]\nurl = " + db_url +
              "\npassword_file = " + (*this / "pw") + "\n");
  }
  void Start() {
    tool_ = std::make_unique<ToolProcess>(
        ToolProcess::Options{{"collect", "--config", *this / "collect.ini"}});
    ASSERT_TRUE(tool_->WaitForErr("broker: subscribed")) << tool_->Err();
  }
  void Kill() {
    tool_->Signal(SIGKILL);
    tool_->Wait();
    log_ += tool_->Err();
  }
  void Stop() {
    tool_->Signal(SIGTERM);
    EXPECT_EQ(tool_->Wait(std::chrono::seconds(10)), 0) << tool_->Err();
    log_ += tool_->Err();
  }
  // Runs to its end (a collector that cannot start).
  Result RunToEnd() { return RunTool({{"collect", "--config", *this / "collect.ini"}}); }
  ToolProcess& Tool() { return *tool_; }
  std::string Log() const { return log_ + (tool_ ? tool_->Err() : ""); }

 private:
  std::unique_ptr<ToolProcess> tool_;
  std::string log_;
};

inline std::set<std::string> Central(Postgres& pg) {
  const auto rows = pg.Central("SELECT store || '/' || id FROM receipts");
  return {rows.begin(), rows.end()};
}

// Waits (bounded by `limit_ms`) until the database holds every closed
// receipt of the stores; answers what they hold then.
inline std::set<std::string> WaitForAll(Postgres& pg, std::vector<Store*> stores,
                                        int limit_ms = 60000) {
  std::set<std::string> want;
  poshark::testing::WaitUntil(
      [&] {
        want.clear();
        for (Store* s : stores)
          for (const auto& id : s->Receipts()) want.insert(id);
        return Central(pg) == want;
      },
      limit_ms);
  EXPECT_FALSE(want.empty());
  return want;
}

}  // namespace poshark_test
