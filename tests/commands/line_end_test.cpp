// The change-line matcher against a plain model on random sets and streams:
// the model walks the list in entry order, as the entries are documented.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "commands/PluginTestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The first command in entry order that starts with the bytes seen is the
// candidate; the line ends when those bytes are all of it. A byte no command
// goes on with may start a new match.
class ModelLineEnd {
 public:
  explicit ModelLineEnd(std::vector<Bytes> cmds) : cmds_(std::move(cmds)) {}
  bool Take(unsigned char by) {
    seen_.push_back(by);
    if (int c = First(); c >= 0) return Ends(c);
    seen_.assign(1, by);
    if (int c = First(); c >= 0) return Ends(c);
    seen_.clear();
    return false;
  }

 private:
  int First() const {
    for (size_t i = 0; i < cmds_.size(); ++i)
      if (cmds_[i].size() >= seen_.size() &&
          std::equal(seen_.begin(), seen_.end(), cmds_[i].begin()))
        return static_cast<int>(i);
    return -1;
  }
  bool Ends(int c) {
    if (cmds_[static_cast<size_t>(c)].size() != seen_.size()) return false;
    seen_.clear();
    return true;
  }
  std::vector<Bytes> cmds_;
  Bytes seen_;
};

TEST(LineEnd, MatchesTheListWalkOnRandomSetsAndStreams) {
  poshark::testing::TempHome home;
  std::mt19937 rng(20261207);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const unsigned char kAlphabet[] = {0x1B, 0x1D, 'V', 'A', 'd', 0x00, 0x01, 0x0D};
  for (int round = 0; round < 300; ++round) {
    std::vector<Bytes> cmds(static_cast<size_t>(1 + pick(8)));
    std::string ini = "[Main]\nC-Num=" + std::to_string(cmds.size()) + "\n[ChangeLine-Command]\n";
    for (size_t i = 0; i < cmds.size(); ++i) {
      cmds[i].resize(static_cast<size_t>(1 + pick(4)));
      ini += std::to_string(i + 1) + "=" + std::to_string(cmds[i].size());
      for (auto& b : cmds[i]) {
        b = kAlphabet[pick(4 + (round % 5))];
        ini += ",0" + std::to_string(b);  // a decimal of two digits or more
      }
      ini += "\n";
    }
    auto set = cmdset_test::LoadSet(home, ini);
    ModelLineEnd model(cmds);
    for (int i = 0; i < 400; ++i) {
      unsigned char by = kAlphabet[pick(8)];
      ASSERT_EQ(set->IsLineEnd(by), model.Take(by)) << ini << " byte " << i;
    }
  }
}

}  // namespace
