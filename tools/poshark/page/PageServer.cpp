#include "page/PageServer.h"

#include <httplib.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "base/Log.h"
#include "base/Usage.h"
#include "journal/JournalDb.h"
#include "page/GuardedServer.h"
#include "page/PageAssets.h"
#include "page/PageQueries.h"

namespace poshark::tool {

namespace {

using httplib::DataSink;
using httplib::Request;
using httplib::Response;

// The request threads: a fixed number, and a bounded queue of accepted
// connections in front of them.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool() {
    for (size_t i = 0; i < kPageThreads; ++i) threads_.emplace_back([this] { Work(); });
  }
  // Called by the accepting thread, which never waits here: a connection
  // without a place in the queue is answered 503 and closed at once.
  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard lock(mutex_);
      if (jobs_.size() < kPageQueue && !shutdown_) {
        jobs_.push_back({std::move(fn), std::chrono::steady_clock::now()});
        jobs_ready_.notify_one();
        return;
      }
    }
    GuardedServer::RunRefused(fn);
  }
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      shutdown_ = true;
    }
    jobs_ready_.notify_all();
    for (auto& t : threads_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        jobs_ready_.wait(lock, [&] { return !jobs_.empty() || shutdown_; });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      try {
        GuardedServer::RunQueued(job.task, job.accepted);
      } catch (const std::exception& e) {
        Log(LogLevel::kError, std::string("page: a request failed: ") + e.what());
      } catch (...) {
        Log(LogLevel::kError, "page: a request failed");
      }
    }
  }

  std::mutex mutex_;  // guards jobs_ and shutdown_
  std::condition_variable jobs_ready_;
  struct Job {
    std::function<void()> task;
    std::chrono::steady_clock::time_point accepted;
  };
  std::deque<Job> jobs_;
  bool shutdown_ = false;
  std::vector<std::thread> threads_;
};

// Compares in a time that does not depend on where the texts differ.
bool SameSecret(const std::string& given, const std::string& secret) {
  unsigned char diff = given.size() == secret.size() ? 0 : 1;
  const size_t n = std::max(given.size(), secret.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char a = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    unsigned char b = i < secret.size() ? static_cast<unsigned char>(secret[i]) : 0;
    diff |= static_cast<unsigned char>(a ^ b);
  }
  return diff == 0;
}

void Fail(Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(message + "\n", "text/plain; charset=utf-8");
}

void Json(Response& res, const std::string& body) {
  res.set_content(body, "application/json; charset=utf-8");
}

}  // namespace

PageServer::PageServer(HttpSettings http, PageSource source, LiveFeed& feed)
    : http_(std::move(http)),
      source_(std::move(source)),
      feed_(feed),
      server_(std::make_unique<GuardedServer>()) {}

PageServer::~PageServer() {
  BeginStop();
  if (!thread_.joinable()) return;
  // A stop that came before the server thread began listening is not seen
  // by it: stop again until the thread has ended.
  std::unique_lock lock(done_mutex_);
  // So are connections accepted just before the stop.
  while (!done_.wait_for(lock, kPageStopAgain, [&] { return finished_; })) {
    StopOnce();
    server_->ShutDownConnections();
  }
  lock.unlock();
  thread_.join();
}

bool PageServer::Allowed(const std::string& query_token, const std::string& authorization) const {
  if (http_.token.empty()) return true;
  constexpr char kBearer[] = "Bearer ";
  const size_t prefix = sizeof kBearer - 1;
  if (authorization.size() > prefix && strncasecmp(authorization.c_str(), kBearer, prefix) == 0 &&
      SameSecret(authorization.substr(prefix), http_.token))
    return true;
  return SameSecret(query_token, http_.token);
}

// Every request: the token, GET or HEAD only, and the headers that keep a
// browser from taking anything the page shows for markup or script.
void PageServer::Guard() {
  httplib::Server& s = *server_;
  s.set_pre_routing_handler([this](const Request& req, Response& res) {
    if (!Allowed(req.get_param_value("token"), req.get_header_value("Authorization"))) {
      res.set_header("WWW-Authenticate", "Bearer");
      Fail(res, 401, "a token is needed: ?token=... or Authorization: Bearer ...");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      res.set_header("Allow", "GET, HEAD");
      Fail(res, 405, "only GET and HEAD");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.set_post_routing_handler([](const Request&, Response& res) {
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");  // the token may be in the URL
    res.set_header("Cache-Control", "no-store");
  });
  s.set_exception_handler([](const Request& req, Response& res, std::exception_ptr error) {
    std::string what = "unknown error";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    Log(LogLevel::kWarning, "page: " + req.path + ": " + what);
    Fail(res, 500, what);
  });
}

void PageServer::Route() {
  httplib::Server& s = *server_;
  const std::string token = http_.token.empty() ? "" : "?token=" + http_.token;
  std::string page = kPageHtml;
  auto fill = [&page](std::string_view slot, const std::string& value) {
    for (size_t at = 0; (at = page.find(slot, at)) != std::string::npos; at += value.size())
      page.replace(at, slot.size(), value);
  };
  fill("{{token}}", token);
  fill("{{stores}}", source_.stores ? "1" : "");  // the head office's page
  auto html = [page](const Request&, Response& res) {
    res.set_content(page, "text/html; charset=utf-8");
  };
  s.Get("/", html);
  s.Get("/receipt", html);
  s.Get("/page.js", [](const Request&, Response& res) {
    res.set_content(kPageScript, "text/javascript; charset=utf-8");
  });
  s.Get("/page.css", [](const Request&, Response& res) {
    res.set_content(kPageStyle, "text/css; charset=utf-8");
  });
  s.Get("/events", [this](const Request& req, Response& res) {
    std::optional<uint64_t> last_seen;
    long n = 0;
    if (ParseNumberIn(req.get_header_value("Last-Event-ID"), 0, LONG_MAX, n)) last_seen = n;
    std::shared_ptr<LiveFeed::Reader> reader = feed_.Open(last_seen);
    if (!reader) return Fail(res, 503, "too many live pages are open");
    res.set_chunked_content_provider("text/event-stream", [this, reader](size_t, DataSink& sink) {
      std::vector<LiveFeed::Event> events;
      if (!feed_.Next(*reader, events, kPageKeepAlive)) return false;
      constexpr std::string_view kIdle = ": idle\n\n";  // a comment: keeps the stream alive
      if (events.empty()) return sink.write(kIdle.data(), kIdle.size());
      std::string batch;  // one write for all: bounded by the feed's ring
      for (const auto& e : events) batch += *e;
      return sink.write(batch.data(), batch.size());
    });
  });
  for (const auto& route :
       {std::pair{"/api/search", &source_.search}, std::pair{"/api/receipt", &source_.receipt},
        std::pair{"/api/stores", &source_.stores}}) {
    const auto* question = route.second;
    if (!*question) continue;
    s.Get(route.first, [question](const Request& req, Response& res) {
      PageAnswer a = (*question)([&](const char* name) {
        return req.has_param(name) ? std::optional(req.get_param_value(name)) : std::nullopt;
      });
      a.status == 200 ? Json(res, a.body) : Fail(res, a.status, a.body);
    });
  }
}

void PageServer::ServeHealth(HealthAnswer health, const MetricsRegistry& metrics) {
  health_ = std::move(health);
  metrics_ = &metrics;
}

void PageServer::RouteHealth() {
  if (!health_ || metrics_ == nullptr) return;
  httplib::Server& s = *server_;
  s.Get("/healthz", [this](const Request&, Response& res) {
    auto [status, body] = health_();
    res.status = status;
    Json(res, body);
  });
  s.Get("/metrics", [this](const Request&, Response& res) {
    res.set_content(metrics_->Render(), "text/plain; version=0.0.4; charset=utf-8");
  });
}

bool PageServer::Start(std::string& error) {
  httplib::Server& s = *server_;
  s.new_task_queue = [] { return new BoundedPool(); };
  s.set_keep_alive_max_count(1);  // one request per connection: no idle connections held
  s.set_read_timeout(kPageIoTimeout);
  s.set_write_timeout(kPageIoTimeout);
  s.set_payload_max_length(kPageMaxBody);
  // The library's default also sets SO_REUSEPORT, with which a second
  // service could bind the same port and take a share of the requests.
  s.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  Guard();
  Route();
  RouteHealth();
  errno = 0;
  port_ = http_.port == 0 ? s.bind_to_any_port(http_.host)
                          : (s.bind_to_port(http_.host, http_.port) ? http_.port : -1);
  if (port_ <= 0) {
    const int why = errno;
    error = "[service] http = " + http_.host + ":" + std::to_string(http_.port) +
            ": cannot listen there" +
            (why != 0 ? std::string(" (") + std::strerror(why) + ")" : "");
    return false;
  }
  thread_ = std::thread([this] {
    try {
      server_->listen_after_bind();
    } catch (const std::exception& e) {
      Log(LogLevel::kError, std::string("page: the server ended: ") + e.what());
    }
    std::lock_guard lock(done_mutex_);
    finished_ = true;
    done_.notify_all();
  });
  return true;
}

void PageServer::BeginStop() {
  feed_.Close();
  StopOnce();
  // Requests still being read would hold the stop for as long as their
  // clients drip bytes (the server's time-out is per read, not per request).
  if (stop_sent_) server_->ShutDownConnections();
}

// Stops once the server runs, and only once (a second stop is not allowed).
void PageServer::StopOnce() {
  if (stop_sent_ || !server_->is_running()) return;
  server_->stop();
  stop_sent_ = true;
}

}  // namespace poshark::tool
