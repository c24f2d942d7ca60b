// The poshark tool as a child process: the support runner, started with the
// built tool, a home folder of its own and none of the user's settings.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempHome.h"

namespace poshark_test {

using poshark::testing::ChildProcess;
using poshark::testing::kSanitized;
using Clock = ChildProcess::Clock;
using Result = poshark::testing::ChildResult;

inline std::string SourceDir() { return POSHARK_SOURCE_DIR; }
inline std::string ReceiptsDir() { return SourceDir() + "/examples/receipts"; }

inline std::string ReadFile(const std::string& path) {
  std::stringstream ss;
  ss << std::ifstream(path, std::ios::binary).rdbuf();
  return ss.str();
}
inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) lines.push_back(line);
  return lines;
}
// A sample receipt's lines, and the code page its first line names ("# codepage: NAME").
inline std::vector<std::string> ReceiptLines(const std::string& name) {
  auto lines = SplitLines(ReadFile(ReceiptsDir() + "/" + name + ".txt"));
  lines.erase(lines.begin());
  return lines;
}
inline std::string ReceiptCodepage(const std::string& name) {
  return SplitLines(ReadFile(ReceiptsDir() + "/" + name + ".txt"))[0].substr(12);
}
inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A temporary folder that leaves this process's environment alone.
struct TempDir : poshark::testing::TempHome {
  TempDir() : TempHome(Env::kLeave) {}
  std::string path() const { return Path(); }
};

class ToolProcess : private TempDir, public ChildProcess {
 public:
  struct Options {
    std::vector<std::string> args;
    std::map<std::string, std::string> env{};  // added or replaced; "" removes
    std::string stdin_path = "/dev/null";
    bool stdout_on_pty = false;
  };
  explicit ToolProcess(const Options& o) : ChildProcess(ForTool(o, path())) {}

  static ChildProcess::Options ForTool(const Options& o, const std::string& home) {
    ChildProcess::Options c{{POSHARK_TOOL_PATH}, o.env, o.stdin_path, o.stdout_on_pty};
    c.argv.insert(c.argv.end(), o.args.begin(), o.args.end());
    for (const char* name : {"NO_COLOR", "POSHARK_WORKDIR", "POSHARK_CODEPAGE"})
      c.env.emplace(name, "");  // the test's own settings, not overridden
    c.env.emplace("POSHARK_HOME", home);
    return c;
  }
};

// Runs the tool to its end.
inline Result RunTool(const ToolProcess::Options& o,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  ToolProcess p(o);
  int code = p.Wait(limit);
  return {code, p.Out(), p.Err()};
}

inline bool ErrHas(ChildProcess& tool, const std::string& what,
                   std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  return tool.WaitForErr(what, limit);
}

}  // namespace poshark_test
