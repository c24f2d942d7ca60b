#include "platform/Debug.h"

#include <gtest/gtest.h>

#include <mutex>
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
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts[0], "USB Trace:~RCPosHark in\n");
  EXPECT_EQ(texts[1], "nested");
  EXPECT_EQ(texts[2], "POS7:WaitWrite\r\n");
  EXPECT_EQ(texts[3].size(), 1023u);
}

TEST(DebugTest, ConcurrentWritersAreSafe) {
  std::mutex lock;
  int nCount = 0;
  SetDebugSink([&](const char*) {
    std::lock_guard<std::mutex> g(lock);
    ++nCount;
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([] {
      for (int i = 0; i < 200; ++i) DebugPrintf("line %d", i);
    });
  }
  for (auto& w : writers) w.join();
  SetDebugSink(nullptr);
  EXPECT_EQ(nCount, 800);
}
