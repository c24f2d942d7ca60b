#include "channel/Socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "settings/SourceSetting.h"

namespace poshark::tool {

void Fd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

Waker::Waker() {
  if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
}

Waker::~Waker() {
  for (int fd : fds_) {
    if (fd >= 0) close(fd);
  }
}

void Waker::Wake() {
  char c = 1;
  if (fds_[1] >= 0) (void)!write(fds_[1], &c, 1);
}

bool Waker::Woken() const {
  pollfd p{fds_[0], POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

namespace {

addrinfo* Resolve(const std::string& host, int port, bool passive, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    error = host + ":" + service + ": " + gai_strerror(rc);
    return nullptr;
  }
  return found;
}

}  // namespace

bool OpenListener(const std::string& host, int port, Fd& fd, std::string& where,
                  std::string& error) {
  addrinfo* found = Resolve(host, port, true, error);
  if (found == nullptr) return false;
  int err = 0;
  for (addrinfo* a = found; a != nullptr && fd.Get() < 0; a = a->ai_next) {
    Fd s(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (s.Get() < 0) {
      err = errno;
      continue;
    }
    int one = 1;
    setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s.Get(), a->ai_addr, a->ai_addrlen) == 0 && listen(s.Get(), 16) == 0) {
      fd = std::move(s);
    } else {
      err = errno;
    }
  }
  freeaddrinfo(found);
  if (fd.Get() < 0) {
    error = host + ":" + std::to_string(port) + ": " + std::strerror(err);
    return false;
  }
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
  where = DescribeAddress(addr);
  return true;
}

bool ConnectTo(const std::string& host, int port, const Waker& waker, Fd& fd, std::string& error) {
  addrinfo* found = Resolve(host, port, false, error);
  if (found == nullptr) return false;
  int err = ECONNREFUSED;
  auto deadline = std::chrono::steady_clock::now() + kPrinterConnectTimeout;
  for (addrinfo* a = found; a != nullptr && fd.Get() < 0; a = a->ai_next) {
    Fd s(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    if (s.Get() < 0) continue;
    if (connect(s.Get(), a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      err = errno;
      continue;
    }
    pollfd p[2] = {{s.Get(), POLLOUT, 0}, {waker.Fd(), POLLIN, 0}};
    int rc = poll(p, 2, RemainingMs(deadline));
    socklen_t len = sizeof err;
    if (rc <= 0 || (p[1].revents & POLLIN)) {
      err = rc == 0 ? ETIMEDOUT : ECANCELED;
      continue;
    }
    getsockopt(s.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err == 0) fd = std::move(s);
  }
  freeaddrinfo(found);
  if (fd.Get() < 0) {
    error = host + ":" + std::to_string(port) + ": " + std::strerror(err);
    return false;
  }
  int one = 1;
  setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

namespace {

// Waits without a limit while timeout_ms is negative.
Readiness WaitFor(int fd, const Waker& waker, int timeout_ms) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {waker.Fd(), POLLIN, 0}};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (int left = timeout_ms;;) {
    int rc = poll(fds, 2, left);
    if (rc < 0 && errno == EINTR) {
      if (timeout_ms >= 0) left = RemainingMs(deadline);
      continue;
    }
    if (rc < 0 || (fds[1].revents & POLLIN)) return Readiness::kWoken;
    if (fds[0].revents != 0) return Readiness::kReadable;
    if (rc == 0) return Readiness::kIdle;
  }
}

}  // namespace

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

bool WaitReadable(int fd, const Waker& waker) {
  return WaitFor(fd, waker, -1) == Readiness::kReadable;
}

Readiness WaitReadableFor(int fd, const Waker& waker, std::chrono::milliseconds idle) {
  return WaitFor(fd, waker, static_cast<int>(idle.count()));
}

void Abort(Fd& fd) {
  if (fd.Get() < 0) return;
  linger hard{1, 0};
  setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  fd.Reset();
}

}  // namespace poshark::tool
