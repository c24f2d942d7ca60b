// The whole listener in host-feed mode: an arbitrary command set, then an
// arbitrary byte stream handed to GotData in chunks of varying size, through
// intake, analyzer and writer to the host callback. Input: the set, "\n@@\n",
// one byte that seeds the chunk sizes, and the stream.
//
// Each input ends with a line end and the listener is stopped once its
// queues are empty, which also ends any wait of the analyzer for more data,
// so one input takes milliseconds.
#include "FuzzSupport.h"
#include "listener/RCLineQueue.h"
#include "listener/TestAccess.h"

#include <poshark/RCPosHark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

unsigned short LineOut(char* pszText, SYSTEMTIME* pTime, bool, int nPOSNo, int nEvent, char*) {
  if (nPOSNo != 5 || !pTime) std::abort();
  if (nEvent < POSHARK_EVENT_OVERFLOW || nEvent > POSHARK_EVENT_VOID) std::abort();
  // A delivered line is NUL-terminated within the listener's buffers.
  if (pszText && ::strnlen(pszText, 200001) > 200000) std::abort();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
#ifdef POSHARK_FUZZ_ESCPOS_PLUGIN
  // The ESC/POS plug-in beside the set, so that sets naming it measure
  // parameters through it as they do in use.
  std::error_code ec;
  std::filesystem::copy_file(POSHARK_FUZZ_ESCPOS_PLUGIN,
                             poshark_fuzz::Home().CommandsDir() + "/libposhark-escpos.so",
                             std::filesystem::copy_options::overwrite_existing, ec);
#endif
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  poshark_fuzz::Parts parts = poshark_fuzz::Split(data, size);
  poshark_fuzz::Home().CommandSet("fuzz.ini", std::string(parts.head));

  RCPosHark listener(5);
  if (listener.GetCmdSetNum() < 1 || !listener.SelectCmdSet(0)) return 0;
  listener.SetGateOpenTime(0);
  listener.ListenStart(&LineOut, true);

  std::string_view stream = parts.tail;
  poshark_fuzz::Chunker chunks(stream.empty() ? 0 : static_cast<unsigned char>(stream[0]));
  if (!stream.empty()) stream.remove_prefix(1);
  std::vector<unsigned char> buf(stream.begin(), stream.end());
  buf.push_back('\n');
  for (size_t at = 0, n = 0; at < buf.size(); at += n) {
    n = std::min(chunks.Next(512), buf.size() - at);
    listener.GotData(static_cast<int>(n), buf.data() + at);
  }

  // Let the workers take what was fed (bounded), then stop them.
  RCDataQueue& analyze = RCPosHarkTestAccess::AnalyzeQueue(listener);
  RCLineQueue& write = RCPosHarkTestAccess::WriteQueue(listener);
  for (int i = 0; i < 200 && (analyze.GetCount() > 0 || write.GetCount() > 0); ++i)
    std::this_thread::sleep_for(std::chrono::microseconds(250));
  listener.ListenStop();
  return 0;
}
