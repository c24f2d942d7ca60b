#include "platform/Debug.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>
#include <mutex>

using namespace poshark::platform;

TEST(DebugTest, SinkReceivesTextsUnchangedAndCanBeRemoved) {
  std::vector<std::string> texts;
  SetDebugSink([&](const char* psz) { texts.emplace_back(psz); });
  OutputDebugStringA("USB Trace:~RCPosHark in\n");
  DebugPrintf("POS%d:WaitWrite\r\n", 7);
  OutputDebugStringA(nullptr);
  SetDebugSink(nullptr);
  OutputDebugStringA("goes to syslog");
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "USB Trace:~RCPosHark in\n");
  EXPECT_EQ(texts[1], "POS7:WaitWrite\r\n");
}

TEST(DebugTest, DebugPrintfBoundsLongMessages) {
  std::string got;
  SetDebugSink([&](const char* psz) { got = psz; });
  std::string huge(5000, 'x');
  DebugPrintf("%s", huge.c_str());
  SetDebugSink(nullptr);
  EXPECT_EQ(got.size(), 1023u);
}

TEST(DebugTest, SinkMayWriteDebugStringsItself) {
  std::vector<std::string> texts;
  SetDebugSink([&](const char* psz) {
    texts.emplace_back(psz);
    if (texts.size() == 1) {
      OutputDebugStringA("nested");
    }
  });
  OutputDebugStringA("outer");
  SetDebugSink(nullptr);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], "nested");
}

TEST(DebugTest, ConcurrentWritersAndSinkChangesAreSafe) {
  std::mutex lock;
  int nCount = 0;
  SetDebugSink([&](const char*) {
    std::lock_guard<std::mutex> g(lock);
    ++nCount;
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        DebugPrintf("line %d", i);
      }
    });
  }
  for (auto& w : writers) {
    w.join();
  }
  SetDebugSink(nullptr);
  EXPECT_EQ(nCount, 800);
}
