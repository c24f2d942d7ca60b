// The poshark tool end to end: the bundled ESC/POS set over the sample
// receipts, trace files, TCP and serial sources, the catchers, JSON Lines,
// signals. Each test runs the built tool as a child process.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <termios.h>

#include <algorithm>
#include <future>
#include <regex>

#include "ToolProcess.h"

namespace poshark_test {
namespace {

const char* const kSamples[] = {"plain", "latin", "hebrew", "barcodes", "qrcode", "void", "long"};

struct Expected {
  std::string codepage;
  std::vector<std::string> lines;
};

Expected ExpectedOf(const std::string& name) {
  Expected e;
  auto lines = SplitLines(ReadFile(ReceiptsDir() + "/" + name + ".txt"));
  if (!lines.empty() && lines[0].rfind("# codepage: ", 0) == 0) {
    e.codepage = lines[0].substr(12);
    lines.erase(lines.begin());
  }
  for (auto& l : lines) {
    if (!l.empty()) e.lines.push_back(l);
  }
  return e;
}

// One output row of the text format: time (23), DST flag (3), event column
// (8), text.
struct Row {
  std::string event;
  std::string text;
};

std::vector<Row> ParseRows(const std::string& out) {
  std::vector<Row> rows;
  static const std::regex kRow(
      R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (DST|std) (\S+) *(.*)$)");
  for (const auto& line : SplitLines(out)) {
    std::smatch m;
    if (!std::regex_match(line, m, kRow)) continue;  // capture and alarm rows
    rows.push_back({m[2] == "-" ? "" : m[2].str(), m[3].str()});
  }
  return rows;
}

ToolProcess::Options FeedOptions(const std::string& file, const std::string& codepage) {
  ToolProcess::Options o;
  o.args = {"listen", "--pos", "1", "--set", "ESC/POS", "--feed", file, "--codepage", codepage};
  return o;
}

TEST(ToolListen, BundledSamplesGiveTheirReceiptLinesWithOneStartAndOneStop) {
  std::vector<std::future<Result>> runs;
  for (const char* name : kSamples) {
    // Paced like a POS at 115200 baud (the default).
    auto o = FeedOptions(ReceiptsDir() + "/" + name + ".bin", ExpectedOf(name).codepage);
    runs.push_back(std::async(std::launch::async, [o] { return RunTool(o); }));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const std::string name = kSamples[i];
    Result r = runs[i].get();
    ASSERT_EQ(r.code, 0) << name << "\n" << r.err;
    std::vector<Row> rows = ParseRows(r.out);
    std::vector<std::string> texts;
    int starts = 0;
    int stops = 0;
    for (const auto& row : rows) {
      if (!row.text.empty()) texts.push_back(row.text);
      starts += row.event == "START";
      stops += row.event == "STOP";
      EXPECT_TRUE(row.event.empty() || row.event == "START" || row.event == "STOP")
          << name << ": " << row.event;
    }
    EXPECT_EQ(texts, ExpectedOf(name).lines) << name;
    EXPECT_EQ(starts, 1) << name;
    EXPECT_EQ(stops, 1) << name;
    // No printer byte reached a line: control bytes would be drawn as
    // control pictures (U+2400..U+2421).
    EXPECT_EQ(r.out.find("\xe2\x90"), std::string::npos) << name;
    // The STOP comes last, after every text line.
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back().event, "STOP") << name;
  }
}

std::string TraceOf(const std::string& raw, size_t piece) {
  std::string out;
  for (size_t i = 0; i < raw.size(); i += piece) {
    std::string part = raw.substr(i, piece);
    uint32_t n = static_cast<uint32_t>(part.size());
    for (int k = 0; k < 4; ++k) out += static_cast<char>((n >> (8 * k)) & 0xFF);
    out += part;
  }
  return out;
}

TEST(ToolListen, TraceFilesAreRecognisedReplayedAndDumped) {
  TempDir dir;
  std::string raw = ReadFile(ReceiptsDir() + "/barcodes.bin");
  WriteFile(dir / "pos.bin2", TraceOf(raw, 37));
  auto expected = ExpectedOf("barcodes");

  auto auto_run = std::async(std::launch::async, [&] {
    auto o = FeedOptions(dir / "pos.bin2", expected.codepage);
    o.args.insert(o.args.end(), {"--pace", "none"});
    return RunTool(o);
  });
  // The same trace on standard input needs --trace.
  auto stdin_run = std::async(std::launch::async, [&] {
    auto o = FeedOptions("-", expected.codepage);
    o.args.insert(o.args.end(), {"--trace", "--pace", "none"});
    o.stdin_path = dir / "pos.bin2";
    return RunTool(o);
  });
  for (auto* run : {&auto_run, &stdin_run}) {
    Result r = run->get();
    ASSERT_EQ(r.code, 0) << r.err;
    std::vector<std::string> texts;
    for (const auto& row : ParseRows(r.out)) {
      if (!row.text.empty()) texts.push_back(row.text);
    }
    EXPECT_EQ(texts, expected.lines);
  }

  Result dump = RunTool({{"trace", "dump", dir / "pos.bin2"}});
  ASSERT_EQ(dump.code, 0) << dump.err;
  size_t records = (raw.size() + 36) / 37;
  EXPECT_NE(dump.out.find("record 1: 37 bytes at offset 0\n  000000  1b 40 1c 2e"),
            std::string::npos)
      << dump.out.substr(0, 300);
  EXPECT_NE(dump.out.find(std::to_string(records) + " records, " + std::to_string(raw.size()) +
                          " bytes\n"),
            std::string::npos);

  // A corrupt copy: the last record claims more bytes than follow.
  std::string cut = TraceOf(raw, 37);
  cut.resize(cut.size() - 3);
  WriteFile(dir / "cut.bin2", cut);
  Result bad = RunTool({{"trace", "dump", dir / "cut.bin2"}});
  EXPECT_EQ(bad.code, 1);
  size_t last_offset = (records - 1) * 41;
  EXPECT_NE(bad.err.find(dir / "cut.bin2" + ": record " + std::to_string(records) +
                         " at offset " + std::to_string(last_offset) + ": truncated"),
            std::string::npos)
      << bad.err;
  // Feeding it delivers what came before the damage, then fails naming it.
  auto o = FeedOptions(dir / "cut.bin2", expected.codepage);
  o.args.insert(o.args.end(), {"--trace", "--pace", "none"});
  Result fed = RunTool(o);
  EXPECT_EQ(fed.code, 1);
  EXPECT_NE(fed.err.find("cut.bin2: record " + std::to_string(records)), std::string::npos);
  EXPECT_NE(fed.out.find("HARDWARE DEPOT"), std::string::npos);
}

TEST(ToolListen, FeedEndsOnlyAfterTheAnalyzersLastWait) {
  // The stream ends inside a QR command whose length byte is 0x0A: that
  // byte ends the chunk, and the analyzer waits 3000 ms for the rest before
  // it gives up and emits the line. The tool must still be there for it.
  TempDir dir;
  WriteFile(dir / "cut.bin", std::string("First line\nLast words\x1d(k\n", 26));
  auto o = FeedOptions(dir / "cut.bin", "windows-1252");
  o.args.insert(o.args.end(), {"--pace", "none", "--json"});
  Result r = RunTool(o);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"text\":\"First line\""), std::string::npos) << r.out;
  // Delivered only once the wait gave up; the command's bytes stay, as the
  // stream was cut inside it.
  EXPECT_NE(r.out.find(R"("text":"Last words\u001d(k\n")"), std::string::npos) << r.out;
}

// A poshark home with the example filter file, or one given.
struct Home {
  explicit Home(const std::string& filter = "") {
    WriteFile(dir / "POSKeyFilter.ini",
              filter.empty() ? ReadFile(SourceDir() + "/examples/POSKeyFilter.ini") : filter);
  }
  TempDir dir;
};

TEST(ToolListen, KeysShowCapturesAlarmsAndSaveTheLimitState) {
  // TOTAL raises an alarm from 10.00 on and counts matches per day.
  Home home(
      "[POS1]\nNum=2\nItem1=TOTAL,5\nName1=Total,1,0,046\nCondition1_1=1,1,10\n"
      "Freq1=1,1,1,3,0,0\nItem2=CASH,5\nName2=Cash,1,1,046\n"
      "[ColorKey1]\nCKNum=1\nCKItem1=TOTAL,0\nCKName1=Total,12,0,000\nCKColor1=1,0,255,0,0\n");
  auto run = [&](const std::string& sample, std::map<std::string, std::string> env,
                 bool pty) {
    auto o = FeedOptions(ReceiptsDir() + "/" + sample + ".bin", "cp437");
    o.args.insert(o.args.end(), {"--keys", "--home", home.dir.path(), "--pace", "none"});
    o.env = env;
    o.stdout_on_pty = pty;
    return RunTool(o);
  };
  Result plain = run("plain", {}, false);
  ASSERT_EQ(plain.code, 0) << plain.err;
  EXPECT_NE(plain.out.find("TOTAL                                 8.08\n"
                           "        capture Total = 8.08\n"),
            std::string::npos)
      << plain.out;
  EXPECT_NE(plain.out.find("        capture Cash = 10.00\n"), std::string::npos);
  EXPECT_EQ(plain.out.find("ALARM"), std::string::npos);  // 8.08 is below 10
  EXPECT_EQ(plain.out.find("\x1b["), std::string::npos);   // not a terminal

  Result barcodes = run("barcodes", {}, false);
  ASSERT_EQ(barcodes.code, 0) << barcodes.err;
  EXPECT_NE(barcodes.out.find("        capture Total = 21.65\n        ALARM   Total = 21.65\n"),
            std::string::npos)
      << barcodes.out;
  // The match was counted and saved on exit.
  std::string saved = ReadFile(home.dir / "POSKeyFilter.ini");
  EXPECT_NE(saved.find("1FreqRecNum=1"), std::string::npos) << saved;

  // On a terminal the colour key is drawn in 24-bit colour, unless NO_COLOR.
  Result tty = run("plain", {}, true);
  ASSERT_EQ(tty.code, 0) << tty.err;
  EXPECT_NE(tty.out.find("\x1b[48;2;255;0;0m\x1b[38;2;255;255;255mTOTAL\x1b[0m"),
            std::string::npos)
      << tty.out;
  Result no_color = run("plain", {{"NO_COLOR", "1"}}, true);
  ASSERT_EQ(no_color.code, 0);
  EXPECT_EQ(no_color.out.find("\x1b["), std::string::npos);
  EXPECT_NE(no_color.out.find("capture Total = 8.08"), std::string::npos);
}

TEST(ToolListen, JsonLinesParseWithAJsonParser) {
  Home home;  // the bundled example filter file
  std::vector<std::future<Result>> runs;
  for (const char* name : {"plain", "hebrew", "long"}) {
    auto o = FeedOptions(ReceiptsDir() + std::string("/") + name + ".bin", ExpectedOf(name).codepage);
    // Paced (115200 baud): at full speed a loaded machine may hold the
    // writer back long enough for the long receipt to meet the overflow rule.
    o.args.insert(o.args.end(), {"--json", "--keys", "--home", home.dir.path()});
    runs.push_back(std::async(std::launch::async, [o] { return RunTool(o); }));
  }
  const char* names[] = {"plain", "hebrew", "long"};
  TempDir dir;
  for (int i = 0; i < 3; ++i) {
    Result r = runs[static_cast<size_t>(i)].get();
    ASSERT_EQ(r.code, 0) << r.err;
    std::string expect = dir / (std::string(names[i]) + ".expected");
    auto e = ExpectedOf(names[i]);
    std::string joined;
    for (auto& l : e.lines) joined += l + "\n";
    WriteFile(expect, joined);
    WriteFile(dir / "out.jsonl", r.out);
    // Every line is one object with the documented fields; raw decodes to
    // the text; the texts are the receipt's lines; catcher findings are
    // well-formed.
    std::string script = R"PY(
import base64, json, re, sys
codepage, out, expected = sys.argv[1], sys.argv[2], sys.argv[3]
texts, events, captures, alarms, ranges = [], [], [], [], []
for line in open(out, encoding='utf-8'):
    o = json.loads(line)
    assert set(o) == {'time','dst','pos','event','text','raw','extra','captures','alarms','ranges'}, o
    assert re.fullmatch(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d', o['time']), o['time']
    assert isinstance(o['dst'], bool) and o['pos'] == 1
    assert base64.b64decode(o['raw']).decode(codepage) == o['text'], o
    assert base64.b64decode(o['extra']) == b''
    events.append(o['event'])
    if o['text'].strip(): texts.append(o['text'].strip())
    captures += o['captures']; alarms += o['alarms']; ranges += o['ranges']
    for r in o['ranges']:
        assert 0 <= r['start'] < r['end'] <= len(base64.b64decode(o['raw'])), r
        assert re.fullmatch(r'#[0-9a-f]{6}', r['color'])
want = [l for l in open(expected, encoding='utf-8').read().split('\n') if l]
assert texts == want, (texts[:5], want[:5])
assert events.count('START') == 1 and events.count('STOP') == 1, events
assert all(e in (None, 'START', 'STOP') for e in events)
print(json.dumps({'captures': captures, 'alarms': alarms, 'ranges': ranges}))
)PY";
    WriteFile(dir / "check.py", script);
    std::string cmd = "python3 '" + (dir / "check.py") + "' " +
                      (e.codepage == "windows-1255" ? "cp1255" : e.codepage) + " '" +
                      (dir / "out.jsonl") + "' '" + expect + "' > '" + (dir / "findings.json") +
                      "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << names[i] << ": " << ReadFile(dir / "findings.json");
    std::string findings = ReadFile(dir / "findings.json");
    if (std::string(names[i]) == "plain") {
      EXPECT_NE(findings.find("{\"name\": \"Total\", \"mdb_type\": 1, \"mdb_id\": 0, \"data\": \"8.08\"}"),
                std::string::npos)
          << findings;
      EXPECT_NE(findings.find("\"color\": \"#ffd600\""), std::string::npos) << findings;
    }
    if (std::string(names[i]) == "hebrew") {
      // The Hebrew colour key, found in display order.
      EXPECT_NE(findings.find("\"name\": \"Hebrew total\""), std::string::npos) << findings;
    }
    if (std::string(names[i]) == "long") {
      // A total of 100.00 or more raises the keyword's alarm.
      EXPECT_NE(findings.find("\"alarms\": [{\"name\": \"Total\", \"key_index\": 0, \"source\": 1"),
                std::string::npos)
          << findings.substr(0, 400);
    }
  }
}

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ToolListen, TcpSourceTakesReceiptsAndAcceptsAReconnectingPos) {
  Home home("[POS3]\nNum=1\nItem1=TOTAL,5\nName1=Total,1,0,046\nCondition1_1=1,1,1\n"
            "Freq1=1,1,1,3,0,0\n");
  ToolProcess::Options o;
  o.args = {"listen", "--pos", "3", "--set", "0", "--tcp", "127.0.0.1:0", "--keys",
            "--home", home.dir.path(), "--codepage", "cp437"};
  ToolProcess tool(o);
  std::smatch m;
  ASSERT_TRUE(tool.WaitFor([](const std::string&, const std::string& err) {
    return err.find("listening on 127.0.0.1:") != std::string::npos;
  })) << tool.Err();
  std::string err = tool.Err();
  static const std::regex kPort(R"(listening on 127\.0\.0\.1:(\d+))");
  ASSERT_TRUE(std::regex_search(err, m, kPort));
  int port = std::stoi(m[1]);

  // First connection: one receipt sent in two writes, then the POS hangs up.
  int fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  std::string plain = ReadFile(ReceiptsDir() + "/plain.bin");
  SendAll(fd, plain.substr(0, 100));
  SendAll(fd, plain.substr(100));
  ASSERT_TRUE(tool.WaitFor([](const std::string& out, const std::string&) {
    return out.find(" STOP") != std::string::npos;
  })) << tool.Out();
  close(fd);
  ASSERT_TRUE(tool.WaitFor([](const std::string&, const std::string& e) {
    return e.find("closed") != std::string::npos;
  }));

  // The POS comes back with the next receipt.
  fd = ConnectLoopback(port);
  ASSERT_GE(fd, 0);
  SendAll(fd, ReadFile(ReceiptsDir() + "/void.bin"));
  ASSERT_TRUE(tool.WaitFor([](const std::string& out, const std::string&) {
    return Count(out, " STOP") == 2;
  })) << tool.Out();
  close(fd);

  // SIGINT ends it cleanly: status 0, limit state saved.
  EXPECT_EQ(ReadFile(home.dir / "POSKeyFilter.ini").find("FreqRecNum"), std::string::npos);
  tool.Signal(SIGINT);
  EXPECT_EQ(tool.Wait(std::chrono::seconds(20)), 0) << tool.Err();
  std::string out = tool.Out();
  EXPECT_EQ(Count(out, " START"), 2u) << out;
  EXPECT_EQ(Count(out, " STOP"), 2u);
  EXPECT_NE(out.find("Thank you for your visit"), std::string::npos);
  EXPECT_NE(out.find("Voided by supervisor 07"), std::string::npos);
  EXPECT_EQ(Count(out, "ALARM   Total"), 2u) << out;
  // One match per day is counted (count 1): the second replaced the first.
  EXPECT_NE(ReadFile(home.dir / "POSKeyFilter.ini").find("1FreqRecNum=1"), std::string::npos)
      << ReadFile(home.dir / "POSKeyFilter.ini");
}

}  // namespace
}  // namespace poshark_test
