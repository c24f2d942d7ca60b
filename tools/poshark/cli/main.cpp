// poshark: follows what a POS terminal prints.
//
//   poshark sets [--commands DIR]
//   poshark sets guess [--json] [--trace] [--codepage NAME] [--commands DIR] FILE|-
//   poshark listen --pos N --set NAME|NUMBER SOURCE [options]
//   poshark serve [--config FILE]
//   poshark collect [--config FILE]
//   poshark search [OPTIONS] [WORDS]
//   poshark trace dump FILE.bin2
//
// Exit status: 0 success, 1 runtime failure, 2 usage error. Data goes to
// stdout, diagnostics to stderr.
#include <poshark/RCPosHark.h>

#include "base/Text.h"
#include "base/Usage.h"
#include "channel/TraceFile.h"
#include "cli/CollectService.h"
#include "cli/CommandHelp.h"
#include "cli/Guess.h"
#include "cli/InstallPaths.h"
#include "cli/ListenArgs.h"
#include "cli/Search.h"
#include "collect/CollectConfig.h"
#include "serve/Serve.h"
#include "settings/ServeConfig.h"

#include <dirent.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef POSHARK_TOOL_VERSION
#define POSHARK_TOOL_VERSION "0"
#endif

namespace poshark::tool {
namespace {

constexpr int kUsage = kExitUsage;
constexpr int kFailure = kExitFailure;
constexpr const char kSetsFolder[] = "Printer Commands";

void PrintHelp(FILE* out) {
  const SourceSetting d;
  const std::string data = InstalledDataDir();
  std::fprintf(out,
               "Usage:\n"
               "  poshark sets [--commands DIR]\n"
               "  poshark sets guess [--json] [--trace] [--codepage NAME] [--commands DIR] FILE|-\n"
               "  poshark listen --pos N --set NAME|NUMBER SOURCE [OPTIONS]\n"
               "  poshark serve [--config FILE]\n"
               "  poshark collect [--config FILE]\n"
               "  poshark search [--journal FILE | --db URL [--store ID]] [--channel NAME]\n"
               "                 [--pos N] [--since TIME] [--until TIME] [--void] [--alarms]\n"
               "                 [--json] [WORDS]\n"
               "  poshark trace dump FILE.bin2\n"
               "\n"
               "`serve` runs every channel of the configuration (default %s;\n"
               "see %s/examples/poshark.ini),\n"
               "writes JSON Lines and keeps a journal.\n"
               "`sets guess` ranks the command sets on a capture (a raw stream or a\n"
               "trace file) and names the one it was printed with (exit 1: none).\n"
               "`search` finds receipts in the journal, or with --db in the head office's\n"
               "database (see `poshark search --help`);\n"
               "TIME is a local date YYYY-MM-DD or date and time YYYY-MM-DDTHH:MM[:SS].\n"
               "\n"
               "Sources of `listen` (exactly one):\n"
               "  --com N               serial port COMN (device from [Ports] COMN of\n"
               "                        ComPorts.ini in the poshark home, else /dev/ttyS<N-1>)\n"
               "    --baud B            baud rate (default %d)\n"
               "    --data-bits D       5 to 8 (default %d)\n"
               "    --stop-bits S       1, 1.5 or 2 (default 1)\n"
               "    --parity P          none, odd, even, mark or space (default none)\n"
               "  --tcp [HOST:]PORT     listen like a network printer (default host %s;\n"
               "                        port 0 picks a free port, shown on stderr)\n"
               "  --feed FILE|-         a raw byte stream or a .bin2 trace file\n"
               "    --trace             the input is a trace file (default: a file is\n"
               "                        recognised by its record structure; standard\n"
               "                        input is raw unless --trace is given)\n"
               "    --pace BAUD|none    send as fast as a line at BAUD (default %u)\n"
               "\n"
               "Options:\n"
               "  --pos N               POS number (required)\n"
               "  --set NAME|NUMBER     command set (required; see `poshark sets`); auto:\n"
               "                        guessed from the first receipt (not with --com)\n"
               "  --commands DIR        folder of the command sets (default: \"%s\" beside\n"
               "                        the executable, else %s/%s;\n"
               "                        POSHARK_WORKDIR/%s when that is set)\n"
               "  --home DIR            poshark home: POSKeyFilter.ini, KexDeBug.ini,\n"
               "                        ComPorts.ini, POSTrace/ (default: $POSHARK_HOME,\n"
               "                        else /var/lib/poshark)\n"
               "  --keys                run the keyword and colour-key catchers of\n"
               "                        POSKeyFilter.ini on every line (default off)\n"
               "  --json                JSON Lines instead of text (default off)\n"
               "  --quiet               no progress line while a file is fed (a\n"
               "                        feed shows one on a terminal: bytes, lines, rate)\n"
               "  --no-mask             show card numbers unmasked (default: all but\n"
               "                        their last four digits become *)\n"
               "  --order ORDER         display (as printed, default) or logical (the\n"
               "                        order of Hebrew and Arabic text as typed)\n"
               "  --gate-ms MS          drop lines for MS ms after the port opens\n"
               "                        (default 1000)\n"
               "  --codepage NAME       code page of the printed text (default:\n"
               "                        $POSHARK_CODEPAGE, else %s); with a set that\n"
               "                        has code tables, the page of the printer's\n"
               "                        default table\n"
               "  -h, --help            this help\n"
               "  --version             the version\n"
               "\n"
               "Colours are shown only on a terminal and never when NO_COLOR is set.\n"
               "Exit status: 0 success, 1 runtime failure, 2 usage error.\n",
               kDefaultConfigPath, data.c_str(), d.baud, d.data_bits, d.host.c_str(), d.pace_baud,
               kSetsFolder, data.c_str(), kSetsFolder, kSetsFolder, kDefaultCodepage);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Temporary work folder whose "Printer Commands" points at a folder of
// another name; removed at exit.
std::string g_temp_workdir;

void RemoveTempWorkdir() {
  if (g_temp_workdir.empty()) return;
  unlink((g_temp_workdir + "/" + kSetsFolder).c_str());
  rmdir(g_temp_workdir.c_str());
}

// Points the library at the command sets: --commands, else POSHARK_WORKDIR,
// else the folder beside the executable, else the installed one (found from
// the executable's place). Answers the
// folder the sets are read from.
std::string SetUpCommands(const std::string& commands) {
  std::string dir;
  if (!commands.empty()) {
    dir = commands;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (!DirectoryExists(dir)) {
      throw std::runtime_error("--commands " + commands + ": no such folder");
    }
    size_t slash = dir.rfind('/');
    std::string base = slash == std::string::npos ? dir : dir.substr(slash + 1);
    if (base == kSetsFolder) {
      std::string parent =
          slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
      setenv("POSHARK_WORKDIR", parent.c_str(), 1);
      return dir;
    }
    char tmpl[] = "/tmp/poshark-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      throw std::runtime_error(std::string("cannot create a work folder in /tmp: ") +
                               std::strerror(errno));
    }
    g_temp_workdir = tmpl;
    std::atexit(RemoveTempWorkdir);
    char real[PATH_MAX];
    std::string target = realpath(dir.c_str(), real) != nullptr ? real : dir;
    if (symlink(target.c_str(), (g_temp_workdir + "/" + kSetsFolder).c_str()) != 0) {
      throw std::runtime_error("--commands " + commands + ": " + std::strerror(errno));
    }
    setenv("POSHARK_WORKDIR", g_temp_workdir.c_str(), 1);
    return dir;
  }
  const char* work = std::getenv("POSHARK_WORKDIR");
  if (work != nullptr && *work != '\0') return std::string(work) + "/" + kSetsFolder;
  std::string beside = ExecutableDir();
  if (!beside.empty() && DirectoryExists(beside + "/" + kSetsFolder)) {
    return beside + "/" + kSetsFolder;
  }
  std::string data = InstalledDataDir();
  setenv("POSHARK_WORKDIR", data.c_str(), 1);
  return data + "/" + kSetsFolder;
}

int RunSets(int argc, char** argv) {
  static const option kOptions[] = {{"commands", required_argument, nullptr, 'c'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  std::string commands;
  optind = 1;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'c':
        commands = optarg;
        break;
      case 'h':
        PrintCommandHelp("sets", stdout);
        return 0;
      default:
        Usage("sets: unknown option " + std::string(argv[optind - 1]));
    }
  }
  if (optind < argc) Usage(std::string("sets: unexpected argument ") + argv[optind]);
  std::string folder = SetUpCommands(commands);
  RCPosHark listener(0);
  int count = listener.GetCmdSetNum();
  if (count == 0) {
    std::fprintf(stderr, "poshark: %s: no command sets\n", folder.c_str());
    return kFailure;
  }
  std::printf("%-3s %-24s %-5s %-11s %s\n", "#", "name", "graph", "text-sender", "file");
  for (int i = 0; i < count; ++i) {
    char name[260] = {};
    bool graph = false;
    if (!listener.GetCmdSetName(i, name, graph)) continue;
    bool sender = name[0] != '\0' && listener.IsSoftwarePOSByName(name);
    // Shown under the folder the user named (the listener may reach it through a link).
    std::string file = "?";
    std::string path;
    if (listener.GetCmdSetPath(i, path)) file = folder + "/" + path.substr(path.rfind('/') + 1);
    std::printf("%-3d %-24s %-5s %-11s %s\n", i, name[0] ? name : "(unnamed)", graph ? "yes" : "no",
                sender ? "yes" : "no", file.c_str());
  }
  return 0;
}

int RunTraceDump(int argc, char** argv) {
  const bool help = [&] {
    for (int i = 0; i < argc; ++i)
      if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
  }();
  if (help) {
    PrintCommandHelp("trace", stdout);
    return 0;
  }
  if (argc < 2 || std::strcmp(argv[0], "dump") != 0) {
    Usage("trace: expected `poshark trace dump FILE.bin2`");
  }
  if (argc > 2) Usage(std::string("trace dump: unexpected argument ") + argv[2]);
  std::string path = argv[1];
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "poshark: %s: %s\n", path.c_str(), std::strerror(errno));
    return kFailure;
  }
  TraceReader reader(f, path);
  std::vector<unsigned char> record;
  std::string error;
  uint64_t total = 0;
  while (reader.Next(record, error)) {
    DumpRecord(stdout, reader.RecordCount(), reader.LastOffset(), record);
    total += record.size();
  }
  std::fclose(f);
  std::printf("%llu records, %llu bytes\n", static_cast<unsigned long long>(reader.RecordCount()),
              static_cast<unsigned long long>(total));
  if (!error.empty()) {
    std::fprintf(stderr, "poshark: %s\n", error.c_str());
    return kFailure;
  }
  return 0;
}

// The code page of the printed text: --codepage, else POSHARK_CODEPAGE,
// else the default; the library decodes into the same page.
std::string SetUpCodepage(const std::string& given) {
  std::string codepage = given;
  if (!codepage.empty()) {
    setenv("POSHARK_CODEPAGE", codepage.c_str(), 1);
  } else {
    const char* env = std::getenv("POSHARK_CODEPAGE");
    codepage = env != nullptr && *env != '\0' ? env : kDefaultCodepage;
  }
  try {
    Decoder check(codepage);
  } catch (const std::exception&) {
    Usage(std::string("--codepage ") + codepage + ": unknown code page");
  }
  return codepage;
}

int RunSetsGuess(int argc, char** argv) {
  GuessCommand cmd = ParseGuessArgs(argc, argv);
  if (cmd.help) {
    PrintHelp(stdout);
    return 0;
  }
  cmd.codepage = SetUpCodepage(cmd.codepage);
  SetUpCommands(cmd.commands);
  return RunGuess(cmd);
}

int RunListenCommand(int argc, char** argv) {
  ListenCommand cmd = ParseListenArgs(argc, argv);
  if (cmd.help) {
    PrintHelp(stdout);
    return 0;
  }
  cmd.options.channel.codepage = SetUpCodepage(cmd.codepage);
  if (!cmd.home.empty()) {
    if (!DirectoryExists(cmd.home)) {
      std::fprintf(stderr, "poshark: --home %s: no such folder\n", cmd.home.c_str());
      return kFailure;
    }
    setenv("POSHARK_HOME", cmd.home.c_str(), 1);
  }
  SetUpCommands(cmd.commands);
  return RunListen(cmd.options);
}

// The --config FILE of serve and collect; "" after --help (shown).
std::string ConfigArgument(const std::string& command, int argc, char** argv,
                           const std::string& config_default) {
  static const option kOptions[] = {{"config", required_argument, nullptr, 'c'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  std::string config = config_default;
  optind = 1;
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1) {
    const std::string given = argv[optind - 1];
    if (c == 'c') {
      config = optarg;
    } else if (c == 'h') {
      PrintCommandHelp(command, stdout);
      return "";
    } else {
      Usage(c == ':' ? command + ": option " + given + " needs an argument"
                     : command + ": unknown option " + given);
    }
  }
  if (optind < argc) Usage(command + ": unexpected argument " + argv[optind]);
  return config;
}

int RunServeCommand(int argc, char** argv) {
  const std::string config = ConfigArgument("serve", argc, argv, kDefaultConfigPath);
  if (config.empty()) return 0;
  SetUpCommands("");
  return RunServe(config);
}

int RunCollectCommand(int argc, char** argv) {
  const std::string config = ConfigArgument("collect", argc, argv, kDefaultCollectConfigPath);
  return config.empty() ? 0 : RunCollectService(config);
}

}  // namespace
}  // namespace poshark::tool

int main(int argc, char** argv) {
  using namespace poshark::tool;
  signal(SIGPIPE, SIG_IGN);
  try {
    if (argc < 2) {
      Usage(
          "a command is required: sets, listen, serve, collect, search or trace dump (see --help)");
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
      PrintHelp(stdout);
      return 0;
    }
    if (command == "--version") {
      std::printf("poshark %s\n", POSHARK_TOOL_VERSION);
      return 0;
    }
    if (command == "sets" && argc > 2 && std::strcmp(argv[2], "guess") == 0) {
      return RunSetsGuess(argc - 2, argv + 2);
    }
    if (command == "sets") return RunSets(argc - 1, argv + 1);
    if (command == "listen") return RunListenCommand(argc - 1, argv + 1);
    if (command == "serve") return RunServeCommand(argc - 1, argv + 1);
    if (command == "collect") return RunCollectCommand(argc - 1, argv + 1);
    if (command == "search") return RunSearch(argc - 1, argv + 1);
    if (command == "trace") return RunTraceDump(argc - 2, argv + 2);
    Usage("unknown command " + command +
          " (expected sets, listen, serve, collect, search or trace dump)");
  } catch (const UsageError& e) {
    std::fprintf(stderr, "poshark: %s\nTry `poshark --help`.\n", e.message.c_str());
    return kUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "poshark: %s\n", e.what());
    return kFailure;
  }
}
