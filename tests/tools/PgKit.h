// A real PostgreSQL server for the collector's tests (support/PgCluster.h):
// a temporary cluster on a loopback port of its own. Users: postgres
// (trusted over the socket) and poshark, whose password (kPgPassword) is
// asked over TCP. fsync is off: the tests kill servers, not machines.
#pragma once

#include "ToolProcess.h"
#include "support/PgCluster.h"

namespace poshark_test {

inline constexpr char kPgPassword[] = "shop-secret-1";

class Postgres {
 public:
  Postgres() {
    close(ListenLoopback(port_));  // a free port, kept over restarts
    const std::string error = poshark::testing::InitPgCluster(dir_.Path());
    EXPECT_EQ(error, "");
    Start();
    Sql("CREATE USER poshark PASSWORD '" + std::string(kPgPassword) + "'");
    Sql("CREATE DATABASE central OWNER poshark");
  }
  ~Postgres() {
    if (server_) Stop();
  }
  int Port() const { return port_; }
  // The collector's url (the password comes from its password_file).
  std::string Url() const {
    return "postgresql://poshark@127.0.0.1:" + std::to_string(port_) + "/central";
  }
  void Start() {
    std::string error;
    server_ = poshark::testing::StartPgServer(dir_.Path(), port_, {"fsync=off"}, error);
    ASSERT_TRUE(server_) << error;
  }
  // SIGINT: the fast shutdown; SIGKILL: a crash.
  void Stop(int sig = SIGINT) {
    server_->Signal(SIGCONT);
    server_->Signal(sig);
    server_->Wait(std::chrono::seconds(30));
    server_.reset();
  }
  void Signal(int sig) { server_->Signal(sig); }
  // The first column of each row of a query in the collector's database, as
  // the server's owner; a failed query is a failed test.
  std::vector<std::string> Sql(const std::string& sql, const std::string& db = "postgres") {
    std::vector<std::string> rows;
    std::string error;
    EXPECT_TRUE(poshark::testing::PgQuery(
        poshark::testing::PgSocketConninfo(dir_.Path(), port_, db), sql, rows, error))
        << error;
    return rows;
  }
  std::vector<std::string> Central(const std::string& sql) { return Sql(sql, "central"); }

 private:
  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> server_;
};

}  // namespace poshark_test
