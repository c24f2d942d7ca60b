// A minimal host: feeds a recorded printer stream to one listener in
// host-feed mode and prints every line the listener delivers.
//
//   poshark-feed-example [STREAM-FILE]
//
// Without an argument it feeds the bundled sample receipt with the bundled
// command set "Example ESC/POS". Lines go to stdout as
// "HH:MM:SS.mmm event text"; exit status 0 when lines were delivered,
// 1 when none were, 2 on a usage or set-up error.
#include <poshark/RCPosHark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex g_lock;
std::condition_variable g_cv;
int g_nLines = 0;  // GUARDED_BY(g_lock)

const char* EventName(int nEvent) {
  switch (nEvent) {
    case POSHARK_EVENT_START:
      return "START";
    case POSHARK_EVENT_STOP:
      return "STOP ";
    case POSHARK_EVENT_VOID:
      return "VOID ";
    case POSHARK_EVENT_OVERFLOW:
      return "LOST ";
    default:
      return "     ";
  }
}

// Runs on the listener's writer thread.
unsigned short PrintLine(char* pszText, SYSTEMTIME* pTime, bool, int, int nEvent, char*) {
  std::printf("%02u:%02u:%02u.%03u %s %s\n", pTime->wHour, pTime->wMinute, pTime->wSecond,
              pTime->wMilliseconds, EventName(nEvent), pszText);
  std::fflush(stdout);
  {
    std::lock_guard<std::mutex> guard(g_lock);
    ++g_nLines;
  }
  g_cv.notify_all();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fprintf(stderr, "usage: %s [STREAM-FILE]\n", argv[0]);
    return 2;
  }
  std::string path = argc > 1 ? argv[1] : POSHARK_EXAMPLE_DIR "/sample-receipt.bin";
  // The bundled command set lives beside this example unless the caller
  // points the listener elsewhere.
  setenv("POSHARK_WORKDIR", POSHARK_EXAMPLE_DIR, 0);

  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 2;
  }
  std::vector<unsigned char> stream((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());

  RCPosHark listener(1);
  if (listener.GetCmdSetNum() < 1) {
    std::fprintf(stderr, "no command set in %s/Printer Commands\n", std::getenv("POSHARK_WORKDIR"));
    return 2;
  }
  listener.LoadIni();  // command set 0
  listener.SetGateOpenTime(0);
  listener.ListenStart(PrintLine, true);

  // Hand the bytes over in serial-sized blocks, as a port would deliver them.
  for (size_t nAt = 0; nAt < stream.size(); nAt += 512) {
    size_t nLen = stream.size() - nAt < 512 ? stream.size() - nAt : 512;
    listener.GotData(static_cast<int>(nLen), stream.data() + nAt);
  }

  // The analyzer may hold a line back for up to 3 s to merge it with what
  // follows, so the run ends once no line came for a while.
  std::unique_lock<std::mutex> lock(g_lock);
  for (;;) {
    int nBefore = g_nLines;
    g_cv.wait_for(lock, std::chrono::milliseconds(3500), [&] { return g_nLines != nBefore; });
    if (g_nLines == nBefore) {
      break;
    }
  }
  int nLines = g_nLines;
  lock.unlock();
  listener.ListenStop();
  std::fprintf(stderr, "%d line(s) delivered\n", nLines);
  return nLines > 0 ? 0 : 1;
}
