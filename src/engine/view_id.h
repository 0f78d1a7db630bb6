// Ids of the read view's nodes.
//
// The read view numbers the trie's nodes once (read_view.h); the exact index, the search
// tables and the approximate search's states and candidates all name nodes by those ids.
#pragma once

#include <cstdint>

namespace kwsieve {

using ViewId = uint32_t;
// No node: a step that finds no child, a search that finds no candidate.
inline constexpr ViewId kNoView = UINT32_MAX;
// The name index of a node that is not terminal (terminal nodes index their clean names).
inline constexpr uint32_t kNotTerminal = UINT32_MAX;

}  // namespace kwsieve
