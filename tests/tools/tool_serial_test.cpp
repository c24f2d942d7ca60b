// The poshark tool reading a serial port: a pseudo-terminal reached through
// the port map of the poshark home.
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>

#include "ToolProcess.h"

namespace poshark_test {
namespace {

std::vector<std::string> ExpectedLines(const std::string& name) {
  std::vector<std::string> lines;
  for (const auto& l : SplitLines(ReadFile(ReceiptsDir() + "/" + name + ".txt"))) {
    if (!l.empty() && l[0] != '#') lines.push_back(l);
  }
  return lines;
}

// Texts of the rows of the text format, without event-only rows.
std::vector<std::string> Texts(const std::string& out) {
  std::vector<std::string> texts;
  for (const auto& line : SplitLines(out)) {
    // "YYYY-MM-DD HH:MM:SS.mmm std EVENT   text": the text starts at 36.
    if (line.size() > 36 && line[4] == '-' && line[23] == ' ') texts.push_back(line.substr(36));
  }
  return texts;
}

void SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

TEST(ToolSerial, ComSourceReadsAPseudoTerminalMappedInComPorts) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  TempDir home;
  WriteFile(home / "ComPorts.ini", std::string("[Ports]\nCOM7=") + name + "\n");
  ToolProcess::Options o;
  o.args = {"listen", "--pos", "2", "--set", "ESC/POS", "--com", "7", "--baud", "19200",
            "--gate-ms", "0", "--codepage", "windows-1252"};
  o.env = {{"POSHARK_HOME", home.path()}};
  ToolProcess tool(o);
  ASSERT_TRUE(tool.WaitFor([](const std::string&, const std::string& err) {
    return err.find("listening on COM7") != std::string::npos ||
           err.find("cannot open") != std::string::npos;
  })) << tool.Err();
  ASSERT_NE(tool.Err().find("listening on COM7"), std::string::npos) << tool.Err();
  close(slave);  // the tool holds its own descriptor now
  SendAll(master, ReadFile(ReceiptsDir() + "/latin.bin"));
  bool got = tool.WaitFor([](const std::string& out, const std::string&) {
    return out.find(" STOP") != std::string::npos;
  });
  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.Wait(std::chrono::seconds(20)), 0) << tool.Err();
  close(master);
  ASSERT_TRUE(got) << tool.Out() << tool.Err();
  EXPECT_EQ(Texts(tool.Out()), ExpectedLines("latin"));
}

}  // namespace
}  // namespace poshark_test
