#include "engine/listing.h"

#include <cstdint>
#include <string>
#include <vector>

#include "engine/utf8.h"

namespace kwsieve {

void list_keywords(const Trie& trie,
                   const std::function<void(std::string_view, std::string_view)>& fn) {
  // path[i] is the key byte of the node at depth i + 1; states[i] the validator after it.
  // Both grow and shrink by one byte per level, as enter/leave nest. Validating step by
  // step tells after every node whether its path is a complete string, a valid string cut
  // inside a character, or already hopeless; checking each terminal's whole path instead
  // would cost its depth per terminal: quadratic on a deep chain of terminals.
  std::string path;
  std::vector<Utf8Stepper> states;
  auto enter = [&](NodeId n) {
    Utf8Stepper s;
    bool valid = true;
    if (n != Trie::root()) {
      if (!states.empty()) s = states.back();
      const uint32_t key = trie.key(n);
      // A key above 255 is no byte: no path through it is a string.
      valid = key <= 0xFF && s.step(static_cast<unsigned char>(key));
      path.push_back(static_cast<char>(key));
      states.push_back(s);
    }
    // A hopeless path stays hopeless below: skip the whole subtree (leave still pops).
    if (!valid) return false;
    if (s.at_boundary() && trie.terminal(n)) fn(path, trie.clean_name(n));
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
