// Command-set loading from arbitrary INI text, then the loaded table at work:
// the change-line matcher over the data part byte by byte, and a walk of the
// command and barcode matchers over it, removing what they take, as the
// analyzer does. Input: the set, optionally "\n@@\n" and data.
#include "FuzzSupport.h"
#include "commands/RCCmdSet.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = poshark_fuzz::Home() + "/Printer Commands";
  const std::string file = dir + "/fuzz-cmdset.ini";
  poshark_fuzz::Parts parts = poshark_fuzz::Split(data, size);
  if (!poshark_fuzz::WriteFile(file, parts.head)) return 0;

  RCCmdSet set;
  set.Load(file);

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
      if (r == CMD_DONE) {
        int cap = 0;
        if (set.GetBarcodeText(nullptr, cap) && cap > 0 && cap < (1 << 24)) {
          std::vector<unsigned char> text(static_cast<size_t>(cap));
          set.GetBarcodeText(text.data(), cap);
        }
        continue;
      }
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
