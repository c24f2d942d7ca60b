// The record queues: the analyze queue's order, bounds and time stamps, and
// the write queue's preprocess step and extra blocks.
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

bool PushText(RCDataQueue& q, const std::string& s, SYSTEMTIME* pTime = nullptr, int nEvent = -1) {
  std::vector<unsigned char> v(s.begin(), s.end());
  return q.Push(v.data(), static_cast<int>(v.size()), pTime, false, 0, nEvent);
}

// Takes (or peeks at) record nIndex as a string; "<none>" when refused.
std::string TakeText(RCDataQueue& q, int nIndex = 0, bool bRemove = true) {
  unsigned char buf[257];
  int nLen = 256;
  if (!q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, nIndex, bRemove)) return "<none>";
  return std::string(buf, buf + nLen);
}

TEST(QueueTest, KeepsOrderAndByteCountThroughPeekTakeAndClear) {
  RCDataQueue q(1);
  for (const char* psz : {"ab", "cde", "f", "gh"}) EXPECT_TRUE(PushText(q, psz));
  EXPECT_EQ(q.GetTotalBytes(), 8);
  EXPECT_EQ(TakeText(q, 1, false), "cde");
  EXPECT_EQ(q.GetCount(), 4);
  EXPECT_EQ(TakeText(q, 1), "cde");
  EXPECT_EQ(TakeText(q), "ab");
  EXPECT_EQ(q.GetTotalBytes(), 3);
  EXPECT_EQ(TakeText(q), "f");
  q.Clear();
  EXPECT_EQ(q.GetTotalBytes(), 0);
  EXPECT_EQ(TakeText(q), "<none>");
  PushText(q, "after");
  EXPECT_EQ(TakeText(q), "after");
}

TEST(QueueTest, RefusesBadArgumentsAndKeepsARecordThatDoesNotFit) {
  RCDataQueue q(1);
  unsigned char b = 'x';
  EXPECT_FALSE(q.Push(&b, -1, nullptr, false, 0, -1));
  EXPECT_FALSE(q.Push(nullptr, 3, nullptr, false, 0, -1));
  EXPECT_EQ(q.GetCount(), 0);

  PushText(q, "hello");
  unsigned char buf[8] = {};
  int nLen = 3;
  EXPECT_FALSE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 0, true));
  EXPECT_EQ(nLen, 5) << "the length the record needs";
  EXPECT_EQ(buf[0], 0);
  EXPECT_FALSE(q.GetAt(&nLen, nullptr, nullptr, nullptr, nullptr, nullptr, 0, true));
  EXPECT_FALSE(q.GetAt(nullptr, buf, nullptr, nullptr, nullptr, nullptr, 0, true));
  EXPECT_FALSE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, 1, true));
  EXPECT_FALSE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, nullptr, -1, true));
  EXPECT_EQ(q.GetCount(), 1);
  EXPECT_EQ(q.GetTotalBytes(), 5);
  EXPECT_EQ(TakeText(q), "hello");

  // A zero-byte record (the idle stop) is queued and taken as empty.
  EXPECT_TRUE(q.Push(nullptr, 0, nullptr, false, 0, 1));
  std::memset(buf, 0x55, sizeof buf);
  nLen = 4;
  int nEvent = -7;
  EXPECT_TRUE(q.GetAt(&nLen, buf, nullptr, nullptr, nullptr, &nEvent, 0, true));
  EXPECT_EQ(nLen, 0);
  EXPECT_EQ(nEvent, 1);
  EXPECT_EQ(buf[0], 0x55);
}

std::atomic<int> g_nDstCalls{0};
bool DstOn(void* p) {
  ++g_nDstCalls;
  return p == nullptr;  // true only when called with the null argument
}

TEST(QueueTest, KeepsTheGivenTimeOrStampsLocalTimeWithTheOwnersDst) {
  SYSTEMTIME fixed{2025, 3, 0, 30, 2, 30, 0, 5};
  poshark::platform::SetLocalTimeSourceForTesting([fixed] { return fixed; });
  RCPosHark listener(3);
  RCDataQueue& q = RCPosHarkTestAccess::AnalyzeQueue(listener);
  SYSTEMTIME given{2023, 7, 1, 15, 10, 20, 30, 400};
  unsigned char b[2] = {1, 2};
  ASSERT_TRUE(q.Push(b, 2, &given, true, 42, 2));
  PushText(q, "a");  // no DST query yet: false
  listener.SetDstFt(DstOn);
  g_nDstCalls = 0;
  PushText(q, "b");
  EXPECT_EQ(g_nDstCalls.load(), 1);
  poshark::platform::SetLocalTimeSourceForTesting(nullptr);

  struct Want {
    SYSTEMTIME time;
    bool bDST;
    int nTag;
    int nEvent;
  };
  for (const Want& want : {Want{given, true, 42, 2}, Want{fixed, false, 0, -1}, Want{fixed, true, 0, -1}}) {
    unsigned char buf[4];
    int nLen = 4;
    SYSTEMTIME got{};
    bool bDST = !want.bDST;
    int nTag = -5;
    int nEvent = -5;
    ASSERT_TRUE(q.GetAt(&nLen, buf, &got, &bDST, &nTag, &nEvent, 0, true));
    EXPECT_EQ(std::memcmp(&got, &want.time, sizeof got), 0);
    EXPECT_EQ(bDST, want.bDST);
    EXPECT_EQ(nTag, want.nTag);
    EXPECT_EQ(nEvent, want.nEvent);
  }
  // A time asked for without a DST pointer.
  PushText(q, "c", &given);
  unsigned char buf[2];
  int nLen = 2;
  SYSTEMTIME got{};
  EXPECT_TRUE(q.GetAt(&nLen, buf, &got, nullptr, nullptr, nullptr, 0, true));
  EXPECT_EQ(got.wYear, 2023);
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
    std::string s = TakeText(q);
    if (s == "<none>") {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(std::stoi(s.substr(1)), nNext[s[0] - 'a']++);
    ++nTaken;
  }
  a.join();
  b.join();
  EXPECT_EQ(q.GetTotalBytes(), 0);
}

// Write queue: the preprocess plug-in and its extra blocks.

unsigned char g_byOut[64];
unsigned char g_byExtra[600];
int g_nExtraLen = 0;
int g_nNewEvent = -1;
int g_nOutCount = 0;  // 0: the record's own length
int g_nSeenCount = -99;

// Upper-cases the record; g_nOutCount < 0 or a null out drops it.
int TestPreprocess(unsigned char* pData, int nCount, unsigned char** ppOut, int* pOutCount,
                   unsigned char** ppExtra, int* pExtraCount, int* pEvent) {
  g_nSeenCount = nCount;
  if (g_nOutCount == -1 || nCount > static_cast<int>(sizeof g_byOut)) return 0;
  for (int i = 0; i < nCount; ++i) g_byOut[i] = static_cast<unsigned char>(std::toupper(pData[i]));
  *ppOut = g_byOut;
  *pOutCount = g_nOutCount ? g_nOutCount : nCount;
  if (g_nExtraLen > 0) *ppExtra = g_byExtra;
  if (g_nExtraLen != 0) *pExtraCount = g_nExtraLen > 0 ? g_nExtraLen : -g_nExtraLen;
  if (g_nNewEvent != -1) *pEvent = g_nNewEvent;
  return 0;
}

class WriteQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_nExtraLen = 0;
    g_nNewEvent = -1;
    g_nOutCount = 0;
    g_nSeenCount = -99;
    set_.bDllPreprocess = true;
    set_.pfnPreprocess = TestPreprocess;
    q_.pCmdSet = &set_;
  }
  // Takes the head record with room nExtraRoom for the extra block
  // (nullptr buffer when negative); answers text, event and extra length.
  bool Take(std::string* pText, int* pEvent, int* pExtraLen, int nExtraRoom, unsigned char* pExtra) {
    unsigned char buf[64];
    int nLen = sizeof buf;
    *pExtraLen = nExtraRoom;
    bool bOk = q_.GetAt(&nLen, buf, nullptr, nullptr, nullptr, pEvent, 0, true, pExtra, pExtraLen);
    if (bOk) pText->assign(buf, buf + nLen);
    return bOk;
  }
  RCCmdSet set_;
  RCLineQueue q_{2};
};

TEST_F(WriteQueueTest, ExtraLengthIsReportedWithoutRoomAndCutToTheRoom) {
  std::memset(g_byExtra, 'E', sizeof g_byExtra);
  g_nExtraLen = 5;
  PushText(q_, "x");
  std::string text;
  int nEvent = 0;
  int nExtraLen = 0;
  EXPECT_FALSE(Take(&text, &nEvent, &nExtraLen, -1, nullptr));
  EXPECT_EQ(nExtraLen, 5) << "the room the extra block needs";
  EXPECT_EQ(q_.GetCount(), 1);
  unsigned char extra[268] = {};
  ASSERT_TRUE(Take(&text, &nEvent, &nExtraLen, 16, extra));
  EXPECT_EQ(nExtraLen, 5);
  EXPECT_STREQ(reinterpret_cast<char*>(extra), "EEEEE");

  g_nExtraLen = 600;
  PushText(q_, "line");
  std::memset(extra, 0, sizeof extra);
  ASSERT_TRUE(Take(&text, &nEvent, &nExtraLen, 259, extra));  // the writer keeps a NUL after it
  EXPECT_EQ(nExtraLen, 259);
  EXPECT_EQ(extra[258], 'E');
  EXPECT_EQ(extra[259], 0);
  EXPECT_EQ(text, "LINE");

  g_nExtraLen = -300;  // a count without a block carries nothing
  PushText(q_, "y");
  ASSERT_TRUE(Take(&text, &nEvent, &nExtraLen, 260, extra));
  EXPECT_EQ(nExtraLen, 0);
}

TEST_F(WriteQueueTest, PreprocessRewritesOrDropsOneRecordAndIsSkippedWhenOff) {
  std::string text;
  int nEvent = 0;
  int nExtraLen = 0;
  unsigned char extra[260];

  g_nNewEvent = 2;
  ASSERT_TRUE(PushText(q_, "void me"));
  ASSERT_TRUE(Take(&text, &nEvent, &nExtraLen, 260, extra));
  EXPECT_EQ(text, "VOID ME");
  EXPECT_EQ(nEvent, 2);
  EXPECT_EQ(nExtraLen, 0);
  g_nNewEvent = -1;

  for (int nOut : {-1, -5}) {  // no output, a negative count
    g_nOutCount = nOut;
    EXPECT_FALSE(PushText(q_, "gone")) << nOut;
  }
  g_nOutCount = 0;
  EXPECT_TRUE(PushText(q_, "kept"));
  EXPECT_EQ(q_.GetCount(), 1);
  EXPECT_EQ(q_.GetTotalBytes(), 4);
  ASSERT_TRUE(Take(&text, &nEvent, &nExtraLen, 260, extra));

  // The idle stop record reaches the plug-in as null and zero.
  EXPECT_TRUE(q_.Push(nullptr, 0, nullptr, false, 0, 1));
  EXPECT_EQ(g_nSeenCount, 0);
  ASSERT_TRUE(Take(&text, &nEvent, &nExtraLen, 260, extra));
  EXPECT_EQ(text, "");
  EXPECT_EQ(nEvent, 1);

  g_nSeenCount = -99;
  unsigned char b = 'a';
  EXPECT_FALSE(q_.Push(&b, -4, nullptr, false, 0, -1));
  set_.bDllPreprocess = false;
  EXPECT_TRUE(PushText(q_, "plain"));
  EXPECT_EQ(g_nSeenCount, -99) << "not called for bad input or when switched off";
  ASSERT_TRUE(Take(&text, &nEvent, &nExtraLen, 260, extra));
  EXPECT_EQ(text, "plain");
}

}  // namespace
