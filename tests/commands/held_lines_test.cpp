// The lines the analyzer holds while the write queue is full: first in,
// first out, bounded by bytes and by lines, and whole across the moves that
// give back the room of the lines gone.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "commands/HeldLines.h"

namespace {

using poshark::commands::HeldLines;

TEST(HeldLines, KeepOrderAndContentWithinTheirBoundsAcrossMoves) {
  {
    // An empty first line has a place too: the queue takes none without one.
    HeldLines first;
    ASSERT_TRUE(first.Fits(0));
    first.Add(nullptr, 0, 1, SYSTEMTIME{}, false);
    EXPECT_TRUE(first.Count() == 1 && first.Base() != nullptr);
  }
  HeldLines held;
  std::deque<std::string> want;
  int nStamp = 0;
  auto add = [&](std::string text) {
    if (!held.Fits(static_cast<int>(text.size()))) return false;
    SYSTEMTIME st{};
    st.wMilliseconds = static_cast<uint16_t>(nStamp++ % 1000);
    held.Add(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()),
             static_cast<int>(text.size()) % 3 - 1, st, text.size() % 2 == 0);
    want.push_back(std::move(text));
    return true;
  };
  int nTaken = 0;
  auto take = [&] {
    const HeldLines::Line& line = held.Front();
    const std::string text(reinterpret_cast<const char*>(held.Bytes(line)),
                           static_cast<size_t>(line.nLen));
    EXPECT_EQ(text, want.front());
    EXPECT_EQ(line.nEvent, static_cast<int>(text.size()) % 3 - 1);
    EXPECT_EQ(line.bDST, text.size() % 2 == 0);
    EXPECT_EQ(line.stTime.wMilliseconds, nTaken++ % 1000);
    want.pop_front();
    held.PopFront();
  };
  // Bytes bound: lines of a few hundred bytes up to the room, then taken and
  // added in turn, so that the room goes back only by moving the rest.
  for (int round = 0; round < 2000; ++round) {
    std::string text(static_cast<size_t>(100 + round * 37 % 700),
                     static_cast<char>('a' + round % 26));
    while (!add(text)) take();
  }
  EXPECT_FALSE(held.Fits(HeldLines::kHeldBytes + 1));
  EXPECT_FALSE(held.Fits(-1));
  while (!held.Empty()) take();
  EXPECT_TRUE(held.Fits(HeldLines::kHeldBytes));
  // Full: the room the oldest line took comes back once it has gone.
  while (add(std::string(1000, 'z'))) {
  }
  take();
  EXPECT_TRUE(add(std::string(1000, 'y')));
  while (!held.Empty()) take();
  // Lines bound: empty lines take no bytes, but count.
  for (int i = 0; i < HeldLines::kHeldLines; ++i) ASSERT_TRUE(add(""));
  EXPECT_FALSE(held.Fits(0));
  take();
  EXPECT_TRUE(add("x"));
  while (!held.Empty()) take();
}

}  // namespace
