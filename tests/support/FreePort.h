// A loopback port free at the time of asking, for a server a test or a
// benchmark starts (a broker, a database): the kernel names one, and it is
// given back at once.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace poshark::testing {

inline int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof addr;
  const bool named = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
  if (fd >= 0) close(fd);
  return named ? ntohs(addr.sin_port) : 0;
}

}  // namespace poshark::testing
