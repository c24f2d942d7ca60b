// The service configuration: defaults, and every kind of bad file, each
// named by its file, section, key and what was expected.
#include <gtest/gtest.h>

#include "ToolProcess.h"
#include "settings/ServeConfig.h"

namespace poshark::tool {
namespace {

using poshark_test::TempDir;

TEST(ServeConfig, BadFilesNameFileSectionKeyAndWhatWasExpected) {
  using namespace std::string_literals;
  const std::pair<std::string, const char*> kCases[] = {
      // file text, message
      {"[servic]\n", "line 1, [servic]: expected [service] or [channel NAME]"},
      {"pos = 1\n", "line 1: expected a [section] before the first key"},
      {"[channel a]\nspeed = 9\n", "[channel a] speed = 9: expected one of the keys pos, set"},
      {"[channel a]\nsource = tap:9100\n",
       "source = tap:9100: expected tap:[HOST:]PORT=PRINTER_HOST"},
      {"[channel a]\npos = 1\n[channel b]\npos = 1\nsource = tcp:9101\n",
       "line 3, [channel b] pos: expected a POS number of its own (channel a has it too)"},
      {"[channel a]\nsource = serial:1\n[channel b]\npos = 2\nsource = serial:1\n",
       "[channel b] source: expected a port of its own"},
      {"[channel a]\n[channel a]\npos = 2\nsource = tcp:9101\n",
       "[channel a] name: expected a name of its own"},
      {"[service]\n", "expected at least one [channel NAME] section"},
      {"[service]\n[service]\n", "line 2, [service]: expected one [service] section only"},
      {"[service]\nkeep = 90 days\n[channel a]\n",
       "[service] keep = 90 days: expected an age (such as 90d or 12h), a size"},
      {"[channel a]\npos = 1\nPOS = 2\n",
       "line 3, [channel a] POS: expected once in the section (also on line 2)"},
      {"[channel a]\npos = 1\0\n"s, "line 2: expected text, found a NUL byte"},
      {"[channel a]\nidle = 0\n", "[channel a] idle = 0: expected a time from 1s to 60m"},
      {"[service]\nhttp = 127.0.0.1:9100\n[channel a]\n",
       "[channel a] source: expected a port other than the page's"},
      {"[channel a]\nsource = tap:9200=127.0.0.1:9200\n",
       "[channel a] source: expected a printer that is not a socket of this service (channel a"},
      {"[channel a]\norder = " + std::string(500000, 'x') + "\n", "order = xxxxxxxxxx"},
      {"[channel a]\nkeys = yep\n",
       "[channel a] keys = yep: expected 0, 1, yes, no, on, off, true or false"},
  };
  TempDir dir;
  for (const auto& [text, message] : kCases) {
    dir.Write("p.ini", text);
    try {
      LoadServeConfig(dir / "p.ini");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const UsageError& e) {
      EXPECT_NE(e.message.find(dir / "p.ini"), std::string::npos) << e.message;
      EXPECT_NE(e.message.find(message), std::string::npos) << e.message;
      EXPECT_LT(e.message.size(), 400u) << "a long value is cut";
    }
  }
  // A folder is no file; a byte-order mark at the start is skipped.
  try {
    LoadServeConfig(dir.Path());
    ADD_FAILURE() << "a folder was read";
  } catch (const UsageError& e) {
    EXPECT_NE(e.message.find("a folder; expected a file"), std::string::npos) << e.message;
  }
  dir.Write("p.ini", "\xEF\xBB\xBF[channel a]\nidle = 2m\n");
  EXPECT_EQ(LoadServeConfig(dir / "p.ini").channels.at(0).idle_ms, 120000);
}

TEST(ServeConfig, EverySwitchTakesTheSameWordsInAnyCase) {
  TempDir dir;
  const std::tuple<const char*, bool, bool> kWords[] = {
      {"1", true, false}, {"yes", true, false}, {"On", true, false},  {"TRUE", true, false},
      {"0", false, true}, {"no", false, true},  {"off", false, true}, {"False", false, true},
  };
  for (const auto& [word, on, off] : kWords) {
    dir.Write("p.ini", std::string("[service]\nhttp = ") + word + "\njournal = " + word +
                           "\n[channel a]\nkeys = " + word + "\nmask = " + word + "\n");
    const ServeConfig c = LoadServeConfig(dir / "p.ini");
    EXPECT_EQ(c.channels.at(0).keys, on) << word;
    EXPECT_EQ(c.channels.at(0).mask, on) << word;
    EXPECT_EQ(c.service.http.port < 0, off) << word;
    EXPECT_EQ(c.service.journal.empty(), off) << word;
    if (on) {
      EXPECT_NE(c.service.journal.find("/journal.sqlite"), std::string::npos) << word;
    }
  }
}

}  // namespace
}  // namespace poshark::tool
