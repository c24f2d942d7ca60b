// The live page of `poshark serve`: a small HTTP server (GET and HEAD only)
// on threads of its own, serving the page, its script and style (built into
// the program), the stream of delivered lines (Server-Sent Events), and
// read-only searches and receipts from the journal (serve) or from the head
// office's database (collect, whose stream carries every store's alarms).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "base/Metrics.h"
#include "page/LiveFeed.h"
#include "page/PageQueries.h"
#include "settings/ServeConfig.h"

namespace poshark::tool {

class GuardedServer;

// Threads that answer requests; each open event stream keeps one.
inline constexpr size_t kPageThreads = kLiveStreams + 4;
// Connections accepted and waiting for a thread; the accepting thread waits
// while this many wait (the kernel's backlog holds the rest).
inline constexpr size_t kPageQueue = 64;
// A request is read, and each part of an answer written, within this long;
// so is the page stopped.
inline constexpr auto kPageIoTimeout = std::chrono::seconds(2);
// Largest request body taken (GET requests have none).
inline constexpr size_t kPageMaxBody = 1024;
// An event stream with nothing to send sends a comment this often, so that
// a page that closed it is noticed (its slot freed) within two of them: the
// first write after the close draws the peer's reset, the second fails.
inline constexpr auto kPageKeepAlive = std::chrono::seconds(1);
// How often a stop is repeated while the server thread has not ended.
inline constexpr auto kPageStopAgain = std::chrono::milliseconds(50);

class PageServer {
 public:
  // source: where searches and receipts are read (JournalPages for a
  // journal); with its `stores`, the page also shows the stores' health and
  // their receipts' links name the store.
  PageServer(HttpSettings http, PageSource source, LiveFeed& feed);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // What /healthz answers: a status (200 or 503) and a JSON body. Called on
  // the request threads.
  using HealthAnswer = std::function<std::pair<int, std::string>()>;
  // Serves /healthz and /metrics (under the same token as every path);
  // call before Start. The registry must outlive the server.
  void ServeHealth(HealthAnswer health, const MetricsRegistry& metrics);

  // Binds the address and starts serving; false with a message naming it.
  bool Start(std::string& error);
  // The port bound (the one picked when the address asked for port 0).
  int Port() const { return port_; }
  // Ends the event streams and stops accepting; returns at once. The
  // destructor waits for the threads (kPageIoTimeout at most).
  void BeginStop();

 private:
  void Guard();
  void Route();
  void RouteHealth();
  void StopOnce();
  // The token, when one is set, came in the URL or as a bearer token.
  bool Allowed(const std::string& query_token, const std::string& authorization) const;

  HttpSettings http_;
  PageSource source_;
  LiveFeed& feed_;
  HealthAnswer health_;
  const MetricsRegistry* metrics_ = nullptr;
  std::unique_ptr<GuardedServer> server_;
  int port_ = 0;
  bool stop_sent_ = false;
  std::thread thread_;
  std::mutex done_mutex_;  // guards finished_
  std::condition_variable done_;
  bool finished_ = false;  // the server thread has ended
};

}  // namespace poshark::tool
