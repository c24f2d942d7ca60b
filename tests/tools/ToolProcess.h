// The poshark tool as a child process (the support runner, started with the
// built tool, a home folder of its own and none of the user's settings), the
// files it reads and writes, and loopback sockets to talk to it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempHome.h"

namespace poshark_test {

using poshark::testing::ChildProcess;
using poshark::testing::kSanitized;
using Clock = ChildProcess::Clock;

inline std::string ReceiptsDir() { return POSHARK_SOURCE_DIR "/examples/receipts"; }

inline std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}
// A sample receipt's lines, after the first that names its code page ("# codepage: NAME").
inline std::vector<std::string> ReceiptLines(const std::string& name) {
  auto lines = SplitLines(ReadFile(ReceiptsDir() + "/" + name + ".txt"));
  lines.erase(lines.begin());
  return lines;
}
inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// One record of a trace file: the count as four little-endian bytes, then the bytes.
inline std::string TraceRecord(const std::string& bytes) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((bytes.size() >> (8 * i)) & 0xFF);
  return out + bytes;
}

// Sends everything to a socket.
inline void SendAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

// A socket bound to 127.0.0.1:port (0: a free port, which port is set to)
// and listening, or connected to it when connect is true; -1 on failure.
inline int Loopback(int& port, bool connect) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  socklen_t len = sizeof addr;
  if (connect ? ::connect(fd, a, len) == 0
              : bind(fd, a, len) == 0 && listen(fd, 8) == 0 && getsockname(fd, a, &len) == 0) {
    port = ntohs(addr.sin_port);
    return fd;
  }
  close(fd);
  return -1;
}
inline int ConnectLoopback(int port) { return Loopback(port, true); }
inline int ListenLoopback(int& port) { return Loopback(port = 0, false); }

// Reads until the peer ends or `ms` pass without data; answers what came.
inline std::string ReadUntilEnd(int fd, int ms = 5000) {
  std::string got;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// One HTTP request on its own connection; answers the status and the whole reply.
inline std::pair<int, std::string> Request(int port, const std::string& method,
                                           const std::string& target,
                                           const std::string& headers = "") {
  int fd = ConnectLoopback(port);
  SendAll(fd, method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n");
  std::string reply = ReadUntilEnd(fd);
  close(fd);
  return {reply.size() > 12 ? std::atoi(reply.c_str() + 9) : 0, reply};
}

// A temporary folder that leaves this process's environment alone.
struct TempDir : poshark::testing::TempHome {
  TempDir() : TempHome(Env::kLeave) {}
};

// The tool with these arguments (argv without the program) in a home of its own.
class ToolProcess : private TempDir, public ChildProcess {
 public:
  using Options = ChildProcess::Options;
  explicit ToolProcess(Options o) : ChildProcess(ForTool(std::move(o), Path())) {}

 private:
  static Options ForTool(Options o, const std::string& home) {
    o.argv.insert(o.argv.begin(), POSHARK_TOOL_PATH);
    for (const char* name : {"NO_COLOR", "POSHARK_WORKDIR", "POSHARK_CODEPAGE"})
      o.env.emplace(name, "");  // the test's own settings, not overridden
    o.env.emplace("POSHARK_HOME", home);
    return o;
  }
};

struct Result {
  int code;
  std::string out, err;
};
// Runs the tool to its end.
inline Result RunTool(const ToolProcess::Options& o,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  ToolProcess p(o);
  int code = p.Wait(limit);
  return {code, p.Out(), p.Err()};
}

// `poshark serve` in a folder of its own that is its home: the configuration
// is "[service]", "home = FOLDER" and config; keys puts the example filter
// file in the home first.
struct Service : TempDir {
  explicit Service(const std::string& config, std::map<std::string, std::string> env = {},
                   bool keys = false) {
    if (keys) Write("POSKeyFilter.ini", ReadFile(POSHARK_SOURCE_DIR "/examples/POSKeyFilter.ini"));
    Write("poshark.ini", "[service]\nhome = " + Path() + "\n" + config);
    tool = std::make_unique<ToolProcess>(
        ToolProcess::Options{{"serve", "--config", *this / "poshark.ini"}, std::move(env)});
  }
  // The port of the first "PREFIXHOST:PORT" in the log, or -1.
  int Port(const std::string& prefix) {
    std::smatch m;
    return tool->WaitForErr(prefix) &&
                   std::regex_search(tool->Err(), m, std::regex(prefix + R"([\w.]+:(\d+))"))
               ? std::stoi(m[1])
               : -1;
  }
  // Ends the service with SIGTERM: status 0 within 2 s (20 s under a
  // sanitizer, where a stop that delivers a full intake took up to 10 s).
  void Stop() {
    auto start = Clock::now();
    tool->Signal(SIGTERM);
    EXPECT_EQ(tool->Wait(std::chrono::seconds(10)), 0) << tool->Err();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(kSanitized ? 20 : 2));
  }
  std::unique_ptr<ToolProcess> tool;
};

}  // namespace poshark_test
