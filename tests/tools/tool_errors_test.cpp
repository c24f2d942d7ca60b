// Every error path of the tool: its message names what was wrong and its
// exit status is 2 for a usage error, 1 for a runtime failure.
#include <gtest/gtest.h>

#include "ToolProcess.h"

namespace poshark_test {
namespace {

const std::string kPlain = ReceiptsDir() + "/plain.bin";

TEST(ToolErrors, UsageErrorsExitWithTwoRuntimeFailuresWithOneAndNameWhatWasWrong) {
  TempDir dir;  // the home
  dir.Write("ComPorts.ini", "[Ports]\nCOM9=" + (dir / "no-such-tty") + "\n");
  dir.Write("bad.ini", "[channel a]\nsource = tcp:127.0.0.1:0\n[channel b]\norder = up\n");
  // A set that is not there is the file's fault: refused before anything starts.
  dir.Write("noset.ini", "[channel a]\nsource = tcp:127.0.0.1:0\nset = NOPE\n");
  // A journal whose folder cannot be written says why.
  const std::string nowhere = dir / "nowhere/j.sqlite";
  dir.Write("nowhere.ini", "[service]\noutput = /dev/null\njournal = " + nowhere +
                               "\n[channel a]\nsource = tcp:127.0.0.1:0\n");
  int taken = 0;
  int fd = ListenLoopback(taken);
  const std::string tcp = "127.0.0.1:" + std::to_string(taken);
  auto with = [](std::vector<std::string> more) {  // `listen` of POS 1 with the first set
    more.insert(more.begin(), {"listen", "--pos", "1", "--set", "0"});
    return more;
  };
  // Arguments, exit status, what stderr must hold.
  const std::tuple<std::vector<std::string>, int, std::string> kCases[] = {
      {{"listen", "--set", "ESC/POS", "--feed", kPlain}, 2, "--pos N is required"},
      {with({"--feed", kPlain, "--tcp", "9100"}), 2, "--tcp: only one of --com, --tcp and --feed"},
      {with({"--feed", kPlain, "--baud", "9600", "--parity", "odd"}), 2,
       "--baud, --data-bits, --stop-bits and --parity go with --com"},
      {{"listen", "--pos", "1", "--set", "auto", "--com", "1"},
       2,
       "--set auto needs --tcp or --feed"},
      {with({"--feed", kPlain, "--codepage", "klingon-1"}), 2,
       "--codepage klingon-1: unknown code page"},
      {{"serve", "--config", dir / "bad.ini"},
       2,
       "[channel b] order = up: expected display or logical"},
      {{"serve", "--config", dir / "missing.ini"}, 2, dir / "missing.ini"},
      {{"serve", "--config", dir / "nowhere.ini"},
       1,
       "journal " + nowhere + ": cannot open its lock file " + nowhere +
           ".lock: No such file or directory"},
      {{"serve", "--config", dir / "noset.ini"},
       2,
       dir / "noset.ini" +
           ", line 3, [channel a] set = NOPE: expected a command set that `poshark sets` lists"},
      {{"listen", "--pos", "1", "--set", "NoSuchSet", "--feed", kPlain},
       1,
       "--set NoSuchSet: no such command set (7 found"},
      {with({"--feed", dir / "missing.bin"}), 1,
       "--feed " + (dir / "missing.bin") + ": No such file or directory"},
      {with({"--commands", dir / "nowhere", "--feed", kPlain}), 1,
       "--commands " + (dir / "nowhere") + ": no such folder"},
      {with({"--keys", "--home", dir.Path(), "--feed", kPlain}), 1,
       "--keys: " + (dir / "POSKeyFilter.ini") + ": No such file or directory"},
      // A port number without a device behind it, a TCP port that is taken.
      {with({"--com", "9"}), 1, "--com 9: cannot open COM9"},
      {with({"--tcp", tcp}), 1, "--tcp " + tcp + ": Address already in use"},
  };
  for (const auto& [args, code, message] : kCases) {
    Result r = RunTool({args, {{"POSHARK_HOME", dir.Path()}}}, std::chrono::seconds(20));
    EXPECT_EQ(r.code, code) << message << "\n" << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << "stderr: " << r.err;
    EXPECT_EQ(r.out, "") << message;
    EXPECT_EQ(r.err.find("listening"), std::string::npos) << "started: " << r.err;
  }
  close(fd);
}

TEST(ToolErrors, EachCommandHasItsOwnHelpAndTakesOptionEqualsValue) {
  // Command, what its help holds, what it must not (another command's options).
  const std::tuple<const char*, const char*, const char*> kHelps[] = {
      {"sets", "Usage: poshark sets [--commands DIR]", "--baud"},
      {"serve", "Usage: poshark serve [--config FILE]", "--baud"},
      {"trace", "Usage: poshark trace dump FILE.bin2", "--config"},
      {"search", "--journal", "--baud"},
  };
  for (const auto& [command, holds, lacks] : kHelps) {
    Result r = RunTool({{command, "--help"}});
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_NE(r.out.find(holds), std::string::npos) << command << ":\n" << r.out;
    EXPECT_EQ(r.out.find(lacks), std::string::npos) << command << ":\n" << r.out;
  }
  TempDir dir;
  dir.Write("bad.ini", "[channel a]\norder = up\n");
  Result r = RunTool({{"serve", "--config=" + (dir / "bad.ini")}});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(dir / "bad.ini" + ", line 2, [channel a] order = up"), std::string::npos)
      << r.err;
  r = RunTool({{"serve", "--confi"}});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("serve: option --confi needs an argument"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace poshark_test
