#include "platform/Debug.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace poshark::platform;

TEST(DebugTest, SinkReceivesTextsUnchangedBoundedAndMayWriteItself) {
  std::vector<std::string> texts;
  SetDebugSink([&](const char* psz) {
    texts.emplace_back(psz);
    if (texts.size() == 1) OutputDebugStringA("nested");  // must not deadlock
  });
  OutputDebugStringA("USB Trace:~RCPosHark in\n");
  DebugPrintf("POS%d:WaitWrite\r\n", 7);
  OutputDebugStringA(nullptr);
  DebugPrintf("%s", std::string(5000, 'x').c_str());
  SetDebugSink(nullptr);
  OutputDebugStringA("goes to syslog");
  EXPECT_EQ(texts, (std::vector<std::string>{"USB Trace:~RCPosHark in\n", "nested",
                                             "POS7:WaitWrite\r\n", std::string(1023, 'x')}));
  // Concurrent writers are safe (the sink itself counts atomically).
  std::atomic<int> nCount{0};
  SetDebugSink([&](const char*) { ++nCount; });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([] {
      for (int i = 0; i < 200; ++i) DebugPrintf("line %d", i);
    });
  for (auto& w : writers) w.join();
  SetDebugSink(nullptr);
  EXPECT_EQ(nCount.load(), 800);
}
