#include "engine/listing.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kwsieve {

namespace {

// Strict UTF-8 validation one byte at a time, so that the walk knows after every step
// whether the path so far is a complete string, a valid string cut inside a character,
// or already hopeless. Checking each terminal's whole path instead would cost its depth
// per terminal: quadratic on a deep chain of terminals.
enum Utf8State : uint8_t {
  kBoundary,      // at a character boundary: the path so far is valid UTF-8
  kTail1,         // one continuation byte (80..BF) to go
  kTail2,         // two to go, the next in 80..BF
  kTail2AfterE0,  // two to go, the next in A0..BF (no overlong forms)
  kTail2AfterED,  // two to go, the next in 80..9F (no surrogates)
  kTail3,         // three to go, the next in 80..BF
  kTail3AfterF0,  // three to go, the next in 90..BF (no overlong forms)
  kTail3AfterF4,  // three to go, the next in 80..8F (nothing above U+10FFFF)
  kRejected,      // no extension of the path is valid UTF-8
};

Utf8State utf8_step(Utf8State s, uint32_t key) {
  if (key > 0xFF) return kRejected;
  const unsigned b = key;
  switch (s) {
    case kBoundary:
      if (b < 0x80) return kBoundary;
      if (b >= 0xC2 && b <= 0xDF) return kTail1;
      if (b == 0xE0) return kTail2AfterE0;
      if (b == 0xED) return kTail2AfterED;
      if (b >= 0xE1 && b <= 0xEF) return kTail2;
      if (b == 0xF0) return kTail3AfterF0;
      if (b == 0xF4) return kTail3AfterF4;
      if (b >= 0xF1 && b <= 0xF3) return kTail3;
      return kRejected;
    case kTail1: return b >= 0x80 && b <= 0xBF ? kBoundary : kRejected;
    case kTail2: return b >= 0x80 && b <= 0xBF ? kTail1 : kRejected;
    case kTail2AfterE0: return b >= 0xA0 && b <= 0xBF ? kTail1 : kRejected;
    case kTail2AfterED: return b >= 0x80 && b <= 0x9F ? kTail1 : kRejected;
    case kTail3: return b >= 0x80 && b <= 0xBF ? kTail2 : kRejected;
    case kTail3AfterF0: return b >= 0x90 && b <= 0xBF ? kTail2 : kRejected;
    case kTail3AfterF4: return b >= 0x80 && b <= 0x8F ? kTail2 : kRejected;
    case kRejected: return kRejected;
  }
  return kRejected;
}

}  // namespace

void list_keywords(const Trie& trie,
                   const std::function<void(std::string_view, std::string_view)>& fn) {
  // path[i] is the key byte of the node at depth i + 1; states[i] the validator's state
  // after it. Both grow and shrink by one byte per level, as enter/leave nest.
  std::string path;
  std::vector<Utf8State> states;
  auto enter = [&](NodeId n) {
    Utf8State s = kBoundary;
    if (n != Trie::root()) {
      s = utf8_step(states.empty() ? kBoundary : states.back(), trie.key(n));
      path.push_back(static_cast<char>(trie.key(n)));
      states.push_back(s);
    }
    // A rejected path stays rejected below: skip the whole subtree.
    if (s == kRejected) return false;
    if (s == kBoundary && trie.terminal(n)) fn(path, trie.clean_name(n));
    return true;
  };
  auto leave = [&](NodeId n) {
    if (n == Trie::root()) return;
    path.pop_back();
    states.pop_back();
  };
  walk_depth_first(trie, enter, leave);
}

}  // namespace kwsieve
