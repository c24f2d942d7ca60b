// The page's HTTP server: cpp-httplib's, with every connection read under
// bounds of its own. The library times each read, not a whole request, and
// limits a header line's length, not the number of lines; here a request
// (line, headers and body) must arrive within kPageIoTimeout of its
// acceptance (time waited in the queue included) and within
// kPageMaxRequestBytes, each client address has at
// most kPageConnectionsPerAddress connections at once, and a connection the
// request threads have no room for is answered 503 at once by the thread
// that accepted it, which therefore never waits.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace poshark::tool {

// Bytes of a request, from its first line to the end of its body.
inline constexpr size_t kPageMaxRequestBytes = 16 * 1024;
// Connections of one client address served or waiting at once.
inline constexpr int kPageConnectionsPerAddress = 16;

class GuardedServer : public httplib::Server {
 public:
  // Connections the task queue takes from the accepting thread without a
  // free place are refused through this: called on the accepting thread,
  // it makes the connection's task answer 503 and close at once.
  static void RunRefused(const std::function<void()>& task);
  // Runs a connection's task taken from the queue: its request must have
  // arrived within kPageIoTimeout of `accepted` (what came while it waited
  // is read at once; a client that sent nothing meanwhile is let go).
  static void RunQueued(const std::function<void()>& task,
                        std::chrono::steady_clock::time_point accepted);

  // Ends every connection being served, in both directions: a request
  // thread held by a client that sends a byte now and then returns at once.
  void ShutDownConnections();

 private:
  bool process_and_close_socket(socket_t sock) override;
  // Counts the address in; false (and nothing counted) past the limit.
  bool Enter(const std::string& address);
  void Leave(const std::string& address);

  std::mutex addresses_mutex_;  // guards addresses_ and open_
  std::map<std::string, int> addresses_;
  // Connections being served; a socket leaves before it is closed, so that
  // a shutdown never reaches a descriptor that was reused.
  std::set<socket_t> open_;
};

}  // namespace poshark::tool
