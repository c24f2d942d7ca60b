// The record queues: the analyze queue's order, bounds and time stamps, and
// the write queue's preprocess step and extra blocks.
#include "listener/RCDataQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commands/RCCmdSet.h"
#include "listener/TestAccess.h"
#include "platform/Clock.h"

namespace {

bool PushText(RCDataQueue& q, const std::string& s, SYSTEMTIME* pTime = nullptr) {
  std::vector<unsigned char> v(s.begin(), s.end());
  return q.Push(v.data(), static_cast<int>(v.size()), pTime, false, 0, -1);
}

// One GetAt of record nIndex; ok false when refused.
struct Taken {
  bool ok = false;
  std::string text;
  SYSTEMTIME time{};
  bool bDST = false;
  int nTag = -5;
  int nEvent = -5;
  int nLen = 0;       // out: the record's length
  int nExtraLen = 0;  // out: the extra block's length (write queue)
  std::string extra;
};

Taken Take(RCDataQueue& q, int nIndex = 0, bool bRemove = true, int nRoom = 256) {
  Taken t;
  unsigned char buf[257] = {};
  t.nLen = nRoom;
  t.ok = q.GetAt(&t.nLen, buf, &t.time, &t.bDST, &t.nTag, &t.nEvent, nIndex, bRemove);
  if (t.ok) t.text.assign(buf, buf + t.nLen);
  return t;
}

// The write queue's GetAt with room nExtraRoom for the extra block (no
// buffer when negative).
Taken TakeLine(RCLineQueue& q, int nExtraRoom) {
  Taken t;
  unsigned char buf[64];
  unsigned char extra[600] = {};
  t.nLen = sizeof buf;
  t.nExtraLen = nExtraRoom;
  t.ok = q.GetAt(&t.nLen, buf, nullptr, nullptr, nullptr, &t.nEvent, 0, true,
                 nExtraRoom < 0 ? nullptr : extra, &t.nExtraLen);
  if (t.ok) t.text.assign(buf, buf + t.nLen);
  if (t.ok) t.extra.assign(extra, extra + std::max(0, t.nExtraLen) + 1);  // with the byte after it
  return t;
}

TEST(QueueTest, KeepsOrderAndByteCountThroughPeekTakeAndClear) {
  RCDataQueue q(1);
  for (const char* psz : {"ab", "cde", "f", "gh"}) EXPECT_TRUE(PushText(q, psz));
  EXPECT_EQ(q.GetTotalBytes(), 8);
  EXPECT_EQ(Take(q, 1, false).text, "cde");
  EXPECT_EQ(q.GetCount(), 4);
  EXPECT_EQ(Take(q, 1).text, "cde");
  EXPECT_EQ(Take(q).text, "ab");
  EXPECT_EQ(q.GetTotalBytes(), 3);
  q.Clear();
  EXPECT_EQ(q.GetTotalBytes(), 0);
  EXPECT_FALSE(Take(q).ok);
  PushText(q, "after");
  EXPECT_EQ(Take(q).text, "after");
}

TEST(QueueTest, RefusesBadArgumentsAndKeepsARecordThatDoesNotFit) {
  RCDataQueue q(1);
  unsigned char b = 'x';
  EXPECT_FALSE(q.Push(&b, -1, nullptr, false, 0, -1));
  EXPECT_FALSE(q.Push(nullptr, 3, nullptr, false, 0, -1));
  EXPECT_EQ(q.GetCount(), 0);

  PushText(q, "hello");
  Taken t = Take(q, 0, true, 3);
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.nLen, 5) << "the length the record needs";
  EXPECT_FALSE(Take(q, 1).ok);
  EXPECT_FALSE(Take(q, -1).ok);
  int nLen = 8;
  EXPECT_FALSE(q.GetAt(&nLen, nullptr, nullptr, nullptr, nullptr, nullptr, 0, true));
  EXPECT_FALSE(q.GetAt(nullptr, &b, nullptr, nullptr, nullptr, nullptr, 0, true));
  EXPECT_EQ(q.GetCount(), 1);
  EXPECT_EQ(q.GetTotalBytes(), 5);
  EXPECT_EQ(Take(q).text, "hello");

  // A zero-byte record (the idle stop) is queued and taken as empty.
  EXPECT_TRUE(q.Push(nullptr, 0, nullptr, false, 0, 1));
  t = Take(q);
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.text, "");
  EXPECT_EQ(t.nEvent, 1);
}

std::atomic<int> g_nDstCalls{0};
bool DstOn(void* p) {
  ++g_nDstCalls;
  return p == nullptr;  // true only when called with the null argument
}

TEST(QueueTest, StampsUntimedRecordsWithLocalTimeAndTheOwnersDstAndKeepsAGivenTime) {
  SYSTEMTIME fixed{2025, 3, 0, 30, 2, 30, 0, 5};
  poshark::platform::SetLocalTimeSourceForTesting([fixed] { return fixed; });
  RCPosHark listener(3);
  RCDataQueue& q = RCPosHarkTestAccess::AnalyzeQueue(listener);
  PushText(q, "a");  // no DST query yet: false
  listener.SetDstFt(DstOn);
  g_nDstCalls = 0;
  PushText(q, "b");
  SYSTEMTIME given{2023, 7, 1, 15, 10, 20, 30, 400};
  PushText(q, "c", &given);
  poshark::platform::SetLocalTimeSourceForTesting(nullptr);
  EXPECT_EQ(g_nDstCalls.load(), 1);
  for (bool bDST : {false, true}) {
    Taken t = Take(q);
    EXPECT_EQ(std::memcmp(&t.time, &fixed, sizeof fixed), 0);
    EXPECT_EQ(t.bDST, bDST);
  }
  unsigned char buf[2];
  int nLen = 2;
  SYSTEMTIME got{};
  EXPECT_TRUE(q.GetAt(&nLen, buf, &got, nullptr, nullptr, nullptr, 0, true)) << "no DST pointer";
  EXPECT_EQ(std::memcmp(&got, &given, sizeof given), 0);
}

TEST(QueueTest, ProducersAndConsumerOnDifferentThreadsLoseNothing) {
  RCDataQueue q(1);
  constexpr int kPerProducer = 2000;
  auto produce = [&](char tag) {
    for (int i = 0; i < kPerProducer; ++i) PushText(q, tag + std::to_string(i));
  };
  std::thread a(produce, 'a');
  std::thread b(produce, 'b');
  int nNext[2] = {0, 0};
  for (int nTaken = 0; nTaken < 2 * kPerProducer;) {
    Taken t = Take(q);
    if (!t.ok) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(std::stoi(t.text.substr(1)), nNext[t.text[0] - 'a']++);
    ++nTaken;
  }
  a.join();
  b.join();
  EXPECT_EQ(q.GetTotalBytes(), 0);
}

// Write queue: the preprocess plug-in and its extra blocks.

unsigned char g_byOut[64];
unsigned char g_byExtra[600];
int g_nExtraLen = 0;  // > 0: a block of this length; < 0: this count without a block
int g_nNewEvent = -1;
int g_nOutCount = 0;  // 0: the record's own length
int g_nSeenCount = -99;

int TestPreprocess(unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount,
                   unsigned char** ppExtra, int* pExtraCount, int* pEvent) {
  g_nSeenCount = nCount;
  if (nCount > static_cast<int>(sizeof g_byOut)) return 0;
  for (int i = 0; i < nCount; ++i) g_byOut[i] = static_cast<unsigned char>(std::toupper(pData[i]));
  *ppOut = g_byOut;
  *pOutCount = g_nOutCount ? g_nOutCount : nCount;
  if (g_nExtraLen > 0) *ppExtra = g_byExtra;
  if (g_nExtraLen != 0) *pExtraCount = std::abs(g_nExtraLen);
  if (g_nNewEvent != -1) *pEvent = g_nNewEvent;
  return 0;
}

class WriteQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(g_byExtra, 'E', sizeof g_byExtra);
    set_.bDllPreprocess = true;
    set_.pfnPreprocess = TestPreprocess;
    q_.pCmdSet = &set_;
  }
  void TearDown() override {
    g_nExtraLen = g_nOutCount = 0;
    g_nNewEvent = -1;
  }
  RCCmdSet set_;
  RCLineQueue q_{2};
};

TEST_F(WriteQueueTest, ExtraLengthIsReportedWithoutRoomAndCutToTheRoom) {
  g_nExtraLen = 5;
  PushText(q_, "x");
  Taken t = TakeLine(q_, -1);
  EXPECT_FALSE(t.ok);
  EXPECT_EQ(t.nExtraLen, 5) << "the room the extra block needs";
  EXPECT_EQ(q_.GetCount(), 1);
  t = TakeLine(q_, 16);
  ASSERT_TRUE(t.ok);
  EXPECT_EQ(t.extra, std::string("EEEEE", 6));

  g_nExtraLen = 600;
  PushText(q_, "line");
  t = TakeLine(q_, 259);  // the writer keeps a NUL after the block
  ASSERT_TRUE(t.ok);
  EXPECT_EQ(t.extra, std::string(259, 'E') + '\0');
  EXPECT_EQ(t.text, "LINE");

  g_nExtraLen = -300;  // a count without a block carries nothing
  PushText(q_, "y");
  t = TakeLine(q_, 260);
  ASSERT_TRUE(t.ok);
  EXPECT_EQ(t.nExtraLen, 0);
}

TEST_F(WriteQueueTest, PreprocessSeesTheIdleStopRecordAndIsSkippedWhenOff) {
  g_nNewEvent = 2;
  ASSERT_TRUE(PushText(q_, "void me"));
  Taken t = TakeLine(q_, 260);
  EXPECT_EQ(t.text, "VOID ME");
  EXPECT_EQ(t.nEvent, 2);
  g_nNewEvent = -1;
  g_nOutCount = -5;
  EXPECT_FALSE(PushText(q_, "gone")) << "a negative count drops the record";
  g_nOutCount = 0;

  // The idle stop record reaches the plug-in as null and zero.
  EXPECT_TRUE(q_.Push(nullptr, 0, nullptr, false, 0, 1));
  EXPECT_EQ(g_nSeenCount, 0);
  t = TakeLine(q_, 260);
  EXPECT_EQ(t.text, "");
  EXPECT_EQ(t.nEvent, 1);

  g_nSeenCount = -99;
  unsigned char b = 'a';
  EXPECT_FALSE(q_.Push(&b, -4, nullptr, false, 0, -1));
  set_.bDllPreprocess = false;
  EXPECT_TRUE(PushText(q_, "plain"));
  EXPECT_EQ(g_nSeenCount, -99) << "not called for bad input or when switched off";
  EXPECT_EQ(TakeLine(q_, 260).text, "plain");
  EXPECT_EQ(q_.GetCount(), 0);
}

}  // namespace
