#include "page/GuardedServer.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "page/PageServer.h"

namespace poshark::tool {

namespace {

using Clock = std::chrono::steady_clock;

thread_local bool t_refuse = false;                        // the task runs on the accepting thread
thread_local std::optional<Clock::time_point> t_accepted;  // when the queue took it

constexpr char kBusy[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

int MsUntil(Clock::time_point when) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  return static_cast<int>(std::max<int64_t>(0, left));
}

bool WaitFor(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int rc = poll(&p, 1, ms);
    if (rc < 0 && errno == EINTR) continue;
    return rc > 0;
  }
}

void Describe(int fd, bool peer, std::string& ip, int& port) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len)
                : getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  char host[NI_MAXHOST] = "";
  char serv[NI_MAXSERV] = "";
  if (rc != 0 || getnameinfo(reinterpret_cast<sockaddr*>(&a), len, host, sizeof host, serv,
                             sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    ip.clear();
    port = 0;
    return;
  }
  ip = host;
  port = std::atoi(serv);
}

// A connection whose reads end at a deadline and after a number of bytes.
class GuardedStream : public httplib::Stream {
 public:
  GuardedStream(int fd, Clock::time_point read_by) : fd_(fd), read_by_(read_by) {}

  bool is_readable() const override { return WaitFor(fd_, POLLIN, MsUntil(read_by_)); }
  bool is_writable() const override { return WaitFor(fd_, POLLOUT, WriteMs()); }
  ssize_t read(char* ptr, size_t size) override {
    if (read_ >= kPageMaxRequestBytes || !is_readable()) return -1;
    ssize_t n = recv(fd_, ptr, std::min(size, kPageMaxRequestBytes - read_), 0);
    if (n > 0) read_ += static_cast<size_t>(n);
    return n;
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n = send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return n;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Describe(fd_, true, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Describe(fd_, false, ip, port);
  }
  socket_t socket() const override { return fd_; }

 private:
  static int WriteMs() {
    return static_cast<int>(std::chrono::milliseconds(kPageIoTimeout).count());
  }

  int fd_;
  Clock::time_point read_by_;
  size_t read_ = 0;
};

}  // namespace

void GuardedServer::RunRefused(const std::function<void()>& task) {
  t_refuse = true;
  task();
  t_refuse = false;
}

void GuardedServer::RunQueued(const std::function<void()>& task, Clock::time_point accepted) {
  t_accepted = accepted;
  task();
  t_accepted.reset();
}

bool GuardedServer::Enter(const std::string& address) {
  std::lock_guard lock(addresses_mutex_);
  int& count = addresses_[address];
  if (count >= kPageConnectionsPerAddress) return false;
  ++count;
  return true;
}

void GuardedServer::Leave(const std::string& address) {
  std::lock_guard lock(addresses_mutex_);
  if (--addresses_[address] <= 0) addresses_.erase(address);
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  const auto read_by = t_accepted.value_or(Clock::now()) + kPageIoTimeout;
  std::string address;
  int port = 0;
  Describe(sock, true, address, port);
  bool ok = false;
  if (!t_refuse && Enter(address)) {
    GuardedStream stream(sock, read_by);
    bool closed = false;
    {
      std::lock_guard lock(addresses_mutex_);
      open_.insert(sock);
    }
    ok = process_request(stream, true, closed, nullptr);
    {
      std::lock_guard lock(addresses_mutex_);
      open_.erase(sock);
    }
    Leave(address);
  } else {
    (void)!send(sock, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return ok;
}

void GuardedServer::ShutDownConnections() {
  std::lock_guard lock(addresses_mutex_);
  for (socket_t sock : open_) shutdown(sock, SHUT_RDWR);
}

}  // namespace poshark::tool
