#include "cli/CommandHelp.h"

#include <string>

#include "cli/InstallPaths.h"
#include "collect/CollectConfig.h"
#include "settings/ServeConfig.h"

namespace poshark::tool {

namespace {

void PrintSetsHelp(FILE* out) {
  std::fprintf(out,
               "Usage: poshark sets [--commands DIR]\n"
               "\n"
               "Lists the command sets: number, name, whether the set draws graphics,\n"
               "whether it is a text-sending POS, and its file. `listen --set` and the\n"
               "`set` key of a serve channel take the name or the number.\n"
               "\n"
               "  --commands DIR        folder of the command sets (default: \"Printer\n"
               "                        Commands\" beside the executable, else\n"
               "                        %s/Printer Commands)\n"
               "  -h, --help            this help\n",
               InstalledDataDir().c_str());
}

void PrintServeHelp(FILE* out) {
  std::fprintf(out,
               "Usage: poshark serve [--config FILE]\n"
               "\n"
               "Runs every channel of the configuration, writes their lines as JSON\n"
               "Lines, keeps the receipt journal and, with `http`, serves the live page,\n"
               "/healthz and /metrics. SIGHUP re-reads the file; SIGTERM stops.\n"
               "\n"
               "  --config FILE         the configuration (default %s; every key is\n"
               "                        described in %s/examples/poshark.ini\n"
               "                        and poshark.ini(5))\n"
               "  -h, --help            this help\n"
               "\n"
               "Exit status: 0 stopped, 1 a failure (output, journal or page address),\n"
               "2 a bad configuration (the message names the file, line, section, key).\n",
               kDefaultConfigPath, InstalledDataDir().c_str());
}

void PrintCollectHelp(FILE* out) {
  std::fprintf(out,
               "Usage: poshark collect [--config FILE]\n"
               "\n"
               "Subscribes to the stores' forwarded receipts and alarms on an MQTT broker\n"
               "and writes them into PostgreSQL, each once (docs/CENTRAL.md). SIGTERM stops.\n"
               "\n"
               "  --config FILE         the configuration (default %s)\n"
               "  -h, --help            this help\n"
               "\n"
               "Exit status: 0 stopped, 1 a failure at start (the database unreachable,\n"
               "the login refused, a newer schema), 2 a bad configuration (the message\n"
               "names the file, line, section, key).\n",
               kDefaultCollectConfigPath);
}

void PrintTraceHelp(FILE* out) {
  std::fprintf(out,
               "Usage: poshark trace dump FILE.bin2\n"
               "\n"
               "Shows each record of a trace file (POSTrace/ in the poshark home):\n"
               "its number, offset and bytes, then the count of records and bytes.\n"
               "  -h, --help            this help\n");
}

}  // namespace

bool PrintCommandHelp(std::string_view command, FILE* out) {
  if (command == "sets") {
    PrintSetsHelp(out);
  } else if (command == "serve") {
    PrintServeHelp(out);
  } else if (command == "collect") {
    PrintCollectHelp(out);
  } else if (command == "trace") {
    PrintTraceHelp(out);
  } else {
    return false;
  }
  return true;
}

}  // namespace poshark::tool
