// A real PostgreSQL server for the collector's tests: Debian's PostgreSQL 15
// in a temporary cluster on a loopback port of its own, its socket in its
// folder. The server refuses to run as root: under root (as in CI) the
// cluster's folder belongs to the postgres system user and the server runs
// as that user (setpriv, which execs, so the process id is the server's).
// Users: postgres (trusted over the socket) and poshark, whose password
// (kPgPassword) is asked over TCP.
#pragma once

#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include "ToolProcess.h"

namespace poshark_test {

inline constexpr char kPgBin[] = "/usr/lib/postgresql/15/bin/";
inline constexpr char kPgPassword[] = "shop-secret-1";

class Postgres {
 public:
  Postgres() {
    close(ListenLoopback(port_));  // a free port, kept over restarts
    std::vector<std::string> argv = {std::string(kPgBin) + "initdb",
                                     "-D",
                                     dir_ / "data",
                                     "-U",
                                     "postgres",
                                     "--auth-local=trust",
                                     "--auth-host=scram-sha-256",
                                     "--encoding=UTF8",
                                     "--locale=C.UTF-8",
                                     "--no-sync"};
    Own();
    ChildProcess initdb({AsServer(argv)});
    EXPECT_EQ(initdb.Wait(), 0) << initdb.Err();
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
    server_ = std::make_unique<ChildProcess>(ChildProcess::Options{AsServer(
        {std::string(kPgBin) + "postgres", "-D", dir_ / "data", "-p", std::to_string(port_), "-k",
         dir_.Path(), "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off"})});
    const std::string conninfo = SocketConninfo("postgres");
    ASSERT_TRUE(
        poshark::testing::WaitUntil([&] { return PQping(conninfo.c_str()) == PQPING_OK; }, 30000))
        << server_->Err();
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
    PGconn* c = PQconnectdb(SocketConninfo(db).c_str());
    PGresult* r = PQexec(c, sql.c_str());
    std::vector<std::string> rows;
    const auto status = PQresultStatus(r);
    EXPECT_TRUE(status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) << PQerrorMessage(c);
    for (int i = 0; status == PGRES_TUPLES_OK && i < PQntuples(r); ++i)
      rows.emplace_back(PQgetvalue(r, i, 0));
    PQclear(r);
    PQfinish(c);
    return rows;
  }
  std::vector<std::string> Central(const std::string& sql) { return Sql(sql, "central"); }

 private:
  std::string SocketConninfo(const std::string& db) const {
    return "host=" + dir_.Path() + " port=" + std::to_string(port_) + " user=postgres dbname=" + db;
  }
  // The folder is the server user's when the tests run as root.
  void Own() const {
    if (geteuid() != 0) return;
    const passwd* pw = getpwnam("postgres");
    ASSERT_NE(pw, nullptr) << "no postgres user (Debian's postgresql package makes it)";
    ChildProcess chown({{"/bin/chown", "-R", "postgres:postgres", dir_.Path()}});
    ASSERT_EQ(chown.Wait(), 0) << chown.Err();
  }
  static std::vector<std::string> AsServer(std::vector<std::string> argv) {
    if (geteuid() != 0) return argv;
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=postgres", "--regid=postgres",
                               "--clear-groups", "--"});
    return argv;
  }

  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> server_;
};

}  // namespace poshark_test
