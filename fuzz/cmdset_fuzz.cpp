// Command-set loading from arbitrary INI text, then the loaded table at work:
// the change-line matcher over the data part byte by byte, and a walk of the
// command and barcode matchers over it, removing what they take, as the
// analyzer does. Input: the set, optionally "\n@@\n" and data.
#include "FuzzSupport.h"
#include "commands/RCCmdSet.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  poshark_fuzz::Parts parts = poshark_fuzz::Split(data, size);
  RCCmdSet set;
  set.Load(poshark_fuzz::Home().CommandSet("fuzz-cmdset.ini", std::string(parts.head)));

  // Change-line matching across the whole data, LF excluded as the caller
  // excludes it.
  for (unsigned char b : parts.tail)
    if (b != '\n') set.IsLineEnd(b);

  std::vector<unsigned char> buf(parts.tail.begin(), parts.tail.end());
  int len = static_cast<int>(buf.size());
  int pos = 0;
  // Every answer either moves the cursor, shortens the data or ends the walk;
  // the bound catches a matcher that does none of these.
  for (int steps = 0; pos < len; ++steps) {
    if (steps > 4 * static_cast<int>(buf.size()) + 16) std::abort();
    int n = len - pos;
    int r = CMD_NONE;
    if (set.pBarcode) {
      r = set.AnalyzeBarcode(buf.data() + pos, n);
      if (n < 0 || n > len - pos) std::abort();
      len = pos + n;
      if (r == CMD_DONE) continue;  // the analyzer's use of the text is in the pipeline target
      if (r == CMD_MORE || r == CMD_DISCARD) break;
    }
    n = len - pos;
    r = set.MatchCommand(buf.data() + pos, n);
    if (n < 0 || n > len - pos) std::abort();
    len = pos + n;
    if (r == CMD_DONE) {
      std::vector<unsigned char> text(static_cast<size_t>(set.GetLastCmdText(nullptr)) + 1);
      set.GetLastCmdText(text.data());
      set.TakeTranEvent();
      continue;
    }
    if (r == CMD_MORE || r == CMD_DISCARD) break;
    ++pos;  // CMD_NONE, CMD_MARKER: the byte is text
  }
  set.TakeAutoStart();
  set.IdleTick();
  set.Clear();
  return 0;
}
