// Debian's PostgreSQL 15 in a temporary cluster, for the collector's tests
// and its benchmark: initdb into a folder, the server on a loopback port
// with its socket in that folder. The server refuses to run as root: under
// root (as in CI) the folder belongs to the postgres system user and the
// programs run as that user (setpriv, which execs, so the process id is the
// program's own). The user postgres is trusted over the socket. Errors come
// back as text; the callers decide whether they fail a test or a run.
#pragma once

#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace poshark::testing {

inline constexpr char kPgBin[] = "/usr/lib/postgresql/15/bin/";
// How long a starting server may take to answer.
inline constexpr auto kPgStart = std::chrono::seconds(30);

// argv run as the server's user when this process is root.
inline std::vector<std::string> AsPgServer(std::vector<std::string> argv) {
  if (geteuid() != 0) return argv;
  argv.insert(argv.begin(),
              {"/usr/bin/setpriv", "--reuid=postgres", "--regid=postgres", "--clear-groups", "--"});
  return argv;
}

// Makes a cluster in dir/data (dir made by the caller); "" or why not.
inline std::string InitPgCluster(const std::string& dir) {
  if (geteuid() == 0) {
    if (getpwnam("postgres") == nullptr)
      return "no postgres user (the postgresql package makes it)";
    ChildProcess chown({{"/bin/chown", "-R", "postgres:postgres", dir}});
    if (chown.Wait() != 0) return "chown: " + chown.Err();
  }
  ChildProcess initdb({AsPgServer({std::string(kPgBin) + "initdb", "-D", dir + "/data", "-U",
                                   "postgres", "--auth-local=trust", "--auth-host=scram-sha-256",
                                   "--encoding=UTF8", "--locale=C.UTF-8", "--no-sync"})});
  return initdb.Wait() == 0 ? "" : "initdb: " + initdb.Err();
}

// libpq keywords for the server's socket in dir, as postgres.
inline std::string PgSocketConninfo(const std::string& dir, int port, const std::string& db) {
  return "host=" + dir + " port=" + std::to_string(port) + " user=postgres dbname=" + db;
}

// Starts the server of dir's cluster with these settings (NAME=VALUE) and
// waits until it answers; the process, or null with why in `error`.
inline std::unique_ptr<ChildProcess> StartPgServer(const std::string& dir, int port,
                                                   const std::vector<std::string>& settings,
                                                   std::string& error) {
  std::vector<std::string> argv = {std::string(kPgBin) + "postgres",
                                   "-D",
                                   dir + "/data",
                                   "-p",
                                   std::to_string(port),
                                   "-k",
                                   dir,
                                   "-c",
                                   "listen_addresses=127.0.0.1"};
  for (const auto& s : settings) argv.insert(argv.end(), {"-c", s});
  auto server = std::make_unique<ChildProcess>(ChildProcess::Options{AsPgServer(argv)});
  const std::string conninfo = PgSocketConninfo(dir, port, "postgres");
  if (server->WaitFor([&](auto&, auto&) { return PQping(conninfo.c_str()) == PQPING_OK; },
                      kPgStart))
    return server;
  error = "the server did not answer: " + server->Err();
  return nullptr;
}

// Runs sql (one or more statements) as postgres; the first column of the
// last result's rows, or false with the server's reason in `error`.
inline bool PgQuery(const std::string& conninfo, const std::string& sql,
                    std::vector<std::string>& rows, std::string& error) {
  PGconn* c = PQconnectdb(conninfo.c_str());
  PGresult* r = PQexec(c, sql.c_str());
  const auto status = PQresultStatus(r);
  const bool ok = status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK;
  rows.clear();
  for (int i = 0; status == PGRES_TUPLES_OK && i < PQntuples(r); ++i)
    rows.emplace_back(PQgetvalue(r, i, 0));
  if (!ok) error = PQerrorMessage(c);
  PQclear(r);
  PQfinish(c);
  return ok;
}

}  // namespace poshark::testing
