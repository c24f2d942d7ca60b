#include "listener/RCDataQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commands/RCCmdSet.h"
#include "listener/TestAccess.h"
#include "platform/Clock.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

bool PushText(RCDataQueue& q, const std::string& s, SYSTEMTIME* pTime = nullptr, bool bDST = false,
              int nEvent = -1) {
  auto v = Bytes(s);
  return q.Push(v.data(), static_cast<int>(v.size()), pTime, bDST, 0, nEvent);
}

// Takes the head record of an analyze queue as a string; "<none>" when false.
std::string TakeText(RCDataQueue& q, int nRoom = 256) {
  std::vector<unsigned char> buf(static_cast<size_t>(nRoom) + 1);
  int nLen = nRoom;
  if (!q.GetAt(&nLen, buf.data(), nullptr, nullptr, nullptr, nullptr, 0, true)) {
    return "<none>";
  }
  return std::string(buf.begin(), buf.begin() + nLen);
}

class QueueTest : public ::testing::Test {
 protected:
  void TearDown() override { poshark::platform::SetLocalTimeSourceForTesting(nullptr); }
};

}  // namespace

TEST_F(QueueTest, KeepsFirstInFirstOutOrderAndCountsBytes) {
  RCDataQueue q(1);
  EXPECT_TRUE(PushText(q, "ab"));
  EXPECT_TRUE(PushText(q, "cde"));
  EXPECT_TRUE(PushText(q, "f"));
  EXPECT_EQ(q.GetTotalBytes(), 6);
  EXPECT_EQ(TakeText(q), "ab");
  EXPECT_EQ(q.GetTotalBytes(), 4);
  EXPECT_EQ(TakeText(q), "cde");
  EXPECT_EQ(TakeText(q), "f");
  EXPECT_EQ(q.GetTotalBytes(), 0);
  EXPECT_EQ(TakeText(q), "<none>");
}

TEST_F(QueueTest, ZeroBytePushIsQueuedAndTakenAsEmptyRecord) {
  RCDataQueue q(1);
  EXPECT_TRUE(q.Push(nullptr, 0, nullptr, false, 0, 1));
  EXPECT_EQ(q.GetCount(), 1);
  unsigned char buf[4] = {0x55, 0x55, 0x55, 0x55};
  int nLen = 4;
  int nEvent = -7;
  EXPECT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, &nEvent, 0, true));
  EXPECT_EQ(nLen, 0);
  EXPECT_EQ(nEvent, 1);
  EXPECT_EQ(buf[0], 0x55);  // nothing written
  EXPECT_EQ(q.GetCount(), 0);
}

TEST_F(QueueTest, RefusesNegativeLengthAndMissingBytes) {
  RCDataQueue q(1);
  unsigned char b = 'x';
  EXPECT_FALSE(q.Push(&b, -1, nullptr, false, 0, -1));
  EXPECT_FALSE(q.Push(nullptr, 3, nullptr, false, 0, -1));
  EXPECT_EQ(q.GetCount(), 0);
  EXPECT_EQ(q.GetTotalBytes(), 0);
}

TEST_F(QueueTest, TooLittleRoomLeavesRecordAndReportsItsLength) {
  RCDataQueue q(1);
  PushText(q, "hello");
  unsigned char buf[8] = {};
  int nLen = 3;
  EXPECT_FALSE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true));
  EXPECT_EQ(nLen, 5);
  EXPECT_EQ(q.GetCount(), 1);
  EXPECT_EQ(q.GetTotalBytes(), 5);
  EXPECT_EQ(buf[0], 0);
  EXPECT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "hello");
  EXPECT_EQ(q.GetCount(), 0);
}

TEST_F(QueueTest, AnswersFalseWithoutBufferIndexOrLength) {
  RCDataQueue q(1);
  PushText(q, "abc", nullptr, false, 2);
  int nLen = 0;
  int nTag = -1;
  EXPECT_FALSE(q.GetAt(&nLen, nullptr, nullptr, nullptr, &nTag, nullptr, 0, true));
  EXPECT_EQ(nLen, 3);
  unsigned char buf[8];
  nLen = 8;
  EXPECT_FALSE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 1, true));
  EXPECT_FALSE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, -1, true));
  EXPECT_FALSE(q.GetAt(nullptr, buf, nullptr, nullptr, nullptr, nullptr, 0, true));
  EXPECT_EQ(q.GetCount(), 1);
}

TEST_F(QueueTest, PeekWithoutRemovalAndTakeByIndex) {
  RCDataQueue q(1);
  PushText(q, "one");
  PushText(q, "two");
  unsigned char buf[8];
  int nLen = 8;
  EXPECT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 1, false));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "two");
  EXPECT_EQ(q.GetCount(), 2);
  nLen = 8;
  EXPECT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 1, true));
  EXPECT_EQ(q.GetTotalBytes(), 3);
  EXPECT_EQ(TakeText(q), "one");
}

TEST_F(QueueTest, KeepsTagEventTimeAndDstGivenByThePusher) {
  RCDataQueue q(1);
  SYSTEMTIME st{2023, 7, 1, 15, 10, 20, 30, 400};
  unsigned char b[2] = {1, 2};
  ASSERT_TRUE(q.Push(b, 2, &st, true, 42, 2));
  unsigned char buf[4];
  int nLen = 4;
  SYSTEMTIME got{};
  bool bDST = false;
  int nTag = 0;
  int nEvent = 0;
  ASSERT_TRUE(q.GetAt(&nLen, buf, &got, &bDST, &nTag, &nEvent, 0, true));
  EXPECT_EQ(std::memcmp(&got, &st, sizeof st), 0);
  EXPECT_TRUE(bDST);
  EXPECT_EQ(nTag, 42);
  EXPECT_EQ(nEvent, 2);
}

namespace {
std::atomic<int> g_nDstCalls{0};
bool DstOn(void* p) {
  ++g_nDstCalls;
  return p == nullptr;  // true only when called with the null argument
}
}  // namespace

TEST_F(QueueTest, StampsUntimedRecordsWithLocalTimeAndTheOwnersDstQuery) {
  SYSTEMTIME fixed{2025, 3, 0, 30, 2, 30, 0, 5};
  poshark::platform::SetLocalTimeSourceForTesting([fixed] { return fixed; });
  RCPosHark listener(3);
  RCDataQueue& q = RCPosHarkTestAccess::AnalyzeQueue(listener);

  PushText(q, "a");  // no DST query yet: false
  listener.SetDstFt(DstOn);
  g_nDstCalls = 0;
  PushText(q, "b");
  EXPECT_EQ(g_nDstCalls.load(), 1);

  unsigned char buf[4];
  for (bool bWant : {false, true}) {
    int nLen = 4;
    SYSTEMTIME got{};
    bool bDST = !bWant;
    ASSERT_TRUE(q.GetAt(&nLen, buf, &got, &bDST, nullptr, nullptr, 0, true));
    EXPECT_EQ(std::memcmp(&got, &fixed, sizeof fixed), 0);
    EXPECT_EQ(bDST, bWant);
  }
}

TEST_F(QueueTest, TimeWithoutDstPointerIsCopiedSafely) {
  RCDataQueue q(1);
  SYSTEMTIME st{2024, 1, 1, 1, 0, 0, 0, 0};
  unsigned char b = 'z';
  q.Push(&b, 1, &st, true, 0, -1);
  unsigned char buf[2];
  int nLen = 2;
  SYSTEMTIME got{};
  EXPECT_TRUE(q.GetAt(&nLen, buf, &got, nullptr, nullptr, nullptr, 0, true));
  EXPECT_EQ(got.wYear, 2024);
}

TEST_F(QueueTest, ClearDropsEverythingAndResetsTotal) {
  RCDataQueue q(1);
  for (int i = 0; i < 100; ++i) {
    PushText(q, std::string(static_cast<size_t>(i), 'x'));
  }
  EXPECT_EQ(q.GetTotalBytes(), 4950);
  q.Clear();
  EXPECT_EQ(q.GetTotalBytes(), 0);
  EXPECT_EQ(q.GetCount(), 0);
  EXPECT_EQ(TakeText(q), "<none>");
  PushText(q, "after");
  EXPECT_EQ(TakeText(q), "after");
}

TEST_F(QueueTest, ProducersAndConsumerOnDifferentThreadsLoseNothing) {
  RCDataQueue q(1);
  constexpr int kPerProducer = 2000;
  auto produce = [&](char tag) {
    for (int i = 0; i < kPerProducer; ++i) {
      std::string s = std::string(1, tag) + std::to_string(i);
      PushText(q, s);
    }
  };
  std::thread a(produce, 'a');
  std::thread b(produce, 'b');
  int nNextA = 0;
  int nNextB = 0;
  int nTaken = 0;
  while (nTaken < 2 * kPerProducer) {
    std::string s = TakeText(q);
    if (s == "<none>") {
      std::this_thread::yield();
      continue;
    }
    int n = std::stoi(s.substr(1));
    if (s[0] == 'a') {
      ASSERT_EQ(n, nNextA++);
    } else {
      ASSERT_EQ(n, nNextB++);
    }
    ++nTaken;
  }
  a.join();
  b.join();
  EXPECT_EQ(q.GetTotalBytes(), 0);
}

// Write queue: extra blocks and the preprocess plug-in.

namespace {

unsigned char g_byOut[64];
unsigned char g_byExtra[600];
int g_nExtraLen = 0;
int g_nNewEvent = -1;
bool g_bDrop = false;
int g_nSeenCount = -99;

// Upper-cases the record, attaches g_nExtraLen bytes of g_byExtra, sets the
// event to g_nNewEvent (when not -1), drops the record when g_bDrop.
int TestPreprocess(unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount,
                   unsigned char** ppExtra, int* pExtraCount, int* pEvent) {
  g_nSeenCount = nCount;
  if (g_bDrop || nCount > static_cast<int>(sizeof g_byOut)) {
    return 0;
  }
  for (int i = 0; i < nCount; ++i) {
    g_byOut[i] = static_cast<unsigned char>(std::toupper(pData[i]));
  }
  *ppOut = g_byOut;
  *pOutCount = nCount;
  if (g_nExtraLen > 0) {
    *ppExtra = g_byExtra;
    *pExtraCount = g_nExtraLen;
  }
  if (g_nNewEvent != -1) {
    *pEvent = g_nNewEvent;
  }
  return 0;
}

class WriteQueueTest : public QueueTest {
 protected:
  void SetUp() override {
    g_nExtraLen = 0;
    g_nNewEvent = -1;
    g_bDrop = false;
    g_nSeenCount = -99;
    set_.bDllPreprocess = true;
    set_.pfnPreprocess = TestPreprocess;
  }
  RCCmdSet set_;
};

}  // namespace

TEST_F(WriteQueueTest, WithoutExtraBufferReportsExtraLengthAndKeepsRecord) {
  RCLineQueue q(2);
  q.pCmdSet = &set_;
  g_nExtraLen = 5;
  std::memcpy(g_byExtra, "EXTRA", 5);
  PushText(q, "x");
  unsigned char buf[8];
  int nLen = 8;
  int nExtraLen = -1;
  EXPECT_FALSE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true, nullptr, &nExtraLen));
  EXPECT_EQ(nExtraLen, 5);
  EXPECT_EQ(q.GetCount(), 1);
  unsigned char extra[16] = {};
  nExtraLen = 16;
  nLen = 8;
  EXPECT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true, extra, &nExtraLen));
  EXPECT_EQ(nExtraLen, 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(extra)), "EXTRA");
  EXPECT_EQ(q.GetCount(), 0);
}

TEST_F(WriteQueueTest, ExtraBlockLongerThanTheRoomIsCutToTheRoom) {
  RCLineQueue q(2);
  q.pCmdSet = &set_;
  g_nExtraLen = 600;
  std::memset(g_byExtra, 'E', sizeof g_byExtra);
  PushText(q, "line");
  unsigned char buf[8];
  unsigned char extra[260 + 8];
  std::memset(extra, 0, sizeof extra);
  int nLen = 8;
  int nExtraLen = 259;  // the writer keeps a NUL after the block
  EXPECT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true, extra, &nExtraLen));
  EXPECT_EQ(nExtraLen, 259);
  EXPECT_EQ(extra[258], 'E');
  EXPECT_EQ(extra[259], 0);
  EXPECT_EQ(extra[260], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 4), "LINE");
}

TEST_F(WriteQueueTest, PreprocessReplacesBytesAndEvent) {
  RCLineQueue q(2);
  q.pCmdSet = &set_;
  g_nNewEvent = 2;
  PushText(q, "void me", nullptr, false, -1);
  unsigned char buf[16];
  unsigned char extra[260];
  int nLen = 16;
  int nExtraLen = 260;
  int nEvent = 0;
  ASSERT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, &nEvent, 0, true, extra, &nExtraLen));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(nLen)), "VOID ME");
  EXPECT_EQ(nEvent, 2);
  EXPECT_EQ(nExtraLen, 0);
}

TEST_F(WriteQueueTest, PreprocessThatLeavesNoOutputDropsOnlyThatRecord) {
  RCLineQueue q(2);
  q.pCmdSet = &set_;
  g_bDrop = true;
  EXPECT_FALSE(PushText(q, "gone"));
  g_bDrop = false;
  EXPECT_TRUE(PushText(q, "kept"));
  EXPECT_EQ(q.GetCount(), 1);
  EXPECT_EQ(q.GetTotalBytes(), 4);
}

TEST_F(WriteQueueTest, IdleStopRecordReachesThePluginAsNullAndZero) {
  RCLineQueue q(2);
  q.pCmdSet = &set_;
  EXPECT_TRUE(q.Push(nullptr, 0, nullptr, false, 0, 1));
  EXPECT_EQ(g_nSeenCount, 0);
  unsigned char buf[4];
  unsigned char extra[260];
  int nLen = 4;
  int nExtraLen = 260;
  int nEvent = -1;
  ASSERT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, &nEvent, 0, true, extra, &nExtraLen));
  EXPECT_EQ(nLen, 0);
  EXPECT_EQ(nEvent, 1);
}

TEST_F(WriteQueueTest, PluginIsNotCalledWhenSwitchedOffOrForBadInput) {
  RCLineQueue q(2);
  q.pCmdSet = &set_;
  unsigned char b = 'a';
  EXPECT_FALSE(q.Push(&b, -4, nullptr, false, 0, -1));
  EXPECT_EQ(g_nSeenCount, -99);
  set_.bDllPreprocess = false;
  EXPECT_TRUE(PushText(q, "plain"));
  EXPECT_EQ(g_nSeenCount, -99);
  unsigned char buf[8];
  unsigned char extra[260];
  int nLen = 8;
  int nExtraLen = 260;
  ASSERT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true, extra, &nExtraLen));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "plain");
}

TEST_F(WriteQueueTest, PreprocessWithNegativeOutputCountDropsTheRecord) {
  RCLineQueue q(2);
  RCCmdSet set;
  set.bDllPreprocess = true;
  set.pfnPreprocess = [](unsigned char*, int, unsigned char** ppOut, int* pOutCount,
                         unsigned char**, int*, int*) {
    *ppOut = g_byOut;
    *pOutCount = -5;
    return 0;
  };
  q.pCmdSet = &set;
  EXPECT_FALSE(PushText(q, "x"));
  EXPECT_EQ(q.GetCount(), 0);
}

TEST_F(WriteQueueTest, ExtraCountWithoutBlockCarriesNothing) {
  RCLineQueue q(2);
  RCCmdSet set;
  set.bDllPreprocess = true;
  set.pfnPreprocess = [](unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount,
                         unsigned char** ppExtra, int* pExtraCount, int*) {
    *ppOut = pData;
    *pOutCount = nCount;
    *ppExtra = nullptr;
    *pExtraCount = 300;
    return 0;
  };
  q.pCmdSet = &set;
  ASSERT_TRUE(PushText(q, "x"));
  unsigned char buf[8];
  int nLen = 8;
  int nExtraLen = -1;
  EXPECT_FALSE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, false, nullptr, &nExtraLen));
  EXPECT_EQ(nExtraLen, 0);
  unsigned char extra[260];
  nExtraLen = 260;
  EXPECT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true, extra, &nExtraLen));
  EXPECT_EQ(nExtraLen, 0);
}
