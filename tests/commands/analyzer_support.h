// Test support for the analyzer: a listener whose analyzer thread can be run
// over chunks queued beforehand, and a recorder of every record pushed into
// the write queue (installed as the preprocess entry, which sees each push).
#pragma once

#include <chrono>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "commands/PluginTestSupport.h"
#include "listener/RCDataQueue.h"
#include "listener/TestAccess.h"
#include "platform/Event.h"

namespace analyzer_test {

struct Record {
  std::string text;
  int nEvent = 0;
  uint16_t wSecond = 0;  // time stamp: the chunk's second, set by the tests
  bool bDST = false;
  bool operator==(const Record&) const = default;
};

inline void PrintTo(const Record& rec, std::ostream* os) {
  *os << "{" << rec.nEvent << ", s" << rec.wSecond << (rec.bDST ? " dst" : "") << ", "
      << ::testing::PrintToString(rec.text) << "}";
}

inline std::vector<Record>& Pushed() {
  static std::vector<Record> records;
  return records;
}

// Preprocess entry: notes the bytes and event, and stores an empty record so
// that the write queue never reaches its overflow limit.
inline int RecordPush(unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount,
                      unsigned char**, int*, int* pEvent) {
  static unsigned char byNone = 0;
  Pushed().push_back({std::string(reinterpret_cast<char*>(pData), static_cast<size_t>(nCount)),
                      *pEvent, 0, false});
  *ppOut = &byNone;
  *pOutCount = 0;
  return 0;
}

class AnalyzerProbe : public RCPosHark {
 public:
  AnalyzerProbe() : RCPosHark(7) {}

  RCCmdSet* LoadSet(const std::string& path) {
    auto pLoaded = std::make_unique<RCCmdSet>();
    pLoaded->Load(path);
    RCCmdSet* pSet = RCPosHarkTestAccess::SetCmdSet(*this, std::move(pLoaded));
    pSet->bDllPreprocess = true;
    pSet->pfnPreprocess = &RecordPush;
    Pushed().clear();
    return pSet;
  }

  void Queue(const std::string& chunk, uint16_t wSecond, bool bDST) {
    SYSTEMTIME st{2026, 1, 0, 1, 0, 0, wSecond, 0};
    m_AnalyzeQueue->Push(reinterpret_cast<unsigned char*>(const_cast<char*>(chunk.data())),
                         static_cast<int>(chunk.size()), &st, bDST, 0, -1);
  }

  // Runs the analyzer thread over the queued chunks. Once the queue is empty
  // the stop event is set, so every later wait for more data fails at once:
  // the passes end exactly where the data ends.
  void Drain() {
    CreateMyEvent();
    hStopEvent->Reset();
    bAnalyzeRun = true;
    std::thread worker([this] { AnalyzeThread(); });
    hAnalyzeEvent->Set();
    while (m_AnalyzeQueue->GetCount() > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    hStopEvent->Set();
    worker.join();
    bAnalyzeRun = false;
  }

  // The records pushed, with the time and DST flag the write queue kept.
  std::vector<Record> Records() {
    std::vector<Record> out = Pushed();
    for (Record& rec : out) {
      unsigned char byBuf[16], byExtra[8];
      int nLen = sizeof byBuf, nExtra = sizeof byExtra, nEvent = 0;
      SYSTEMTIME st{};
      st.wSecond = 0xFFFF;  // shows a record the queue did not keep
      m_WriteQueue->GetAt(&nLen, byBuf, &st, &rec.bDST, nullptr, &nEvent, 0, true, byExtra,
                          &nExtra);
      rec.wSecond = st.wSecond;
    }
    return out;
  }
};

// Byte token for a command-set file.
inline std::string Token(unsigned char by) {
  static const char* kHex = "0123456789ABCDEF";
  return std::string("0x") + kHex[by >> 4] + kHex[by & 15];
}

}  // namespace analyzer_test
