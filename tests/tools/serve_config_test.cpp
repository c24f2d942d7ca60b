// The service configuration: defaults, and every kind of bad file, each
// named by its file, section, key and what was expected.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ToolProcess.h"
#include "settings/ServeConfig.h"

namespace poshark::tool {
namespace {

using poshark_test::TempDir;

TEST(ServeConfig, BadFilesNameFileSectionKeyAndWhatWasExpected) {
  using namespace std::string_literals;
  const std::pair<std::string, const char*> kCases[] = {
      // file text, message
      {"[servic]\n", "line 1, [servic]: expected [service], [channel NAME] or [forward NAME]"},
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
      {"[service]\njournal = off\n[channel a]\n[forward hq]\nurl = mqtt://h\n",
       "line 4, [forward hq]: expected [service] journal on"},
      {"[channel a]\n[forward hq]\nurl = http://h\n",
       "line 3, [forward hq] url = http://h: expected mqtt://HOST[:PORT] or mqtts://"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h:0\n", "url = mqtt://h:0: expected mqtt://"},
      {"[channel a]\n[forward hq]\nqos = 1\n", "line 2, [forward hq] url: expected a url"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\nsend = receipts, faxes\n",
       "send = receipts, faxes: expected receipts, lines or alarms"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\nqos = 2\n", "qos = 2: expected 0 or 1"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\ntopic = a/#\n", "topic = a/#: expected"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\ntopic = a/{till}\n", "topic = a/{till}"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\nca = " POSHARK_SOURCE_DIR "/README.md\n",
       "[forward hq] ca = " POSHARK_SOURCE_DIR "/README.md: expected an mqtts:// url"},
      {"[channel a]\n[forward hq]\nurl = mqtts://h\ncert = " POSHARK_SOURCE_DIR "/README.md\n",
       "[forward hq] cert = " POSHARK_SOURCE_DIR "/README.md: expected both cert and key"},
      {"[channel a]\n[forward hq]\nurl = mqtts://h\nkey = /nonexistent\n",
       "key = /nonexistent: expected a readable file"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\nkeepalive = 1\n", "keepalive = 1: expected"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\nneeds_subscriber = maybe\n",
       "line 4, [forward hq] needs_subscriber = maybe: expected 0, 1, yes"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\nneeds_subscriber = yes\nqos = 0\n",
       "line 4, [forward hq] needs_subscriber = yes: expected qos = 1 with it"},
      {"[channel a]\n[forward hq]\nurl = mqtt://h\n[forward hq]\nurl = mqtt://h\n",
       "line 4, [forward hq] name: expected a name of its own"},
      {"[service]\nstore = a/b\n[channel a]\n", "[service] store = a/b: expected 1 to 64"},
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

// A password file that others may read is refused; one only its owner can
// read gives the password, which no message repeats.
TEST(ServeConfig, ForwardTakesItsPasswordOnlyFromAPrivateFileAndFillsItsDefaults) {
  TempDir dir;
  dir.Write("secret", "s3cret\nignored\n");
  const std::string forward =
      "[service]\nstore = shop-7\n[channel a]\n[forward hq]\nurl = mqtts://[::1]\n"
      "username = shop7\npassword_file = " +
      (dir / "secret") + "\n";
  dir.Write("p.ini", forward);
  ASSERT_EQ(chmod((dir / "secret").c_str(), 0640), 0);
  try {
    LoadServeConfig(dir / "p.ini");
    ADD_FAILURE() << "a group-readable password file was taken";
  } catch (const UsageError& e) {
    EXPECT_NE(e.message.find("line 7, [forward hq] password_file = " + (dir / "secret") +
                             ": expected a file that only its owner can read"),
              std::string::npos)
        << e.message;
    EXPECT_EQ(e.message.find("s3cret"), std::string::npos);
  }
  ASSERT_EQ(chmod((dir / "secret").c_str(), 0600), 0);
  const ForwardSettings f = LoadServeConfig(dir / "p.ini").forwards.at(0);
  EXPECT_EQ(f.password, "s3cret");
  EXPECT_EQ(f.host, "::1");
  EXPECT_EQ(f.port, kMqttsPort);
  EXPECT_TRUE(f.tls);
  EXPECT_EQ(f.client_id, "poshark-shop-7-hq");
  EXPECT_EQ(f.topic, kDefaultTopic);
  EXPECT_EQ(f.send, kSendReceipts | kSendAlarms);
  EXPECT_EQ(f.qos, 1);
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
