// The processor under allocation failure: every mutation, decoding a state into it (the
// unpickling path), encoding it and extracting with it, each run under
// alloc_failure::sweep (see alloc_failure.h) so that its Nth allocation fails for
// N = 1, 2, 3... until it completes.
//
// A second processor, never failed, takes the same steps and is the reference. After every
// injected failure the processor's encoded state must still equal the reference's before
// the step, and an extraction over its keywords must still find what the reference finds;
// once the step completes, its state must equal the reference's after it. States to decode
// are those of other random processors and forged ones: trees written by hand with keys
// above 255, repeated and unsorted keys, long lone chains (which the decoder stores as
// tails), names in the middle of chains and unnamed leaves, some of them cut short or with
// a byte changed. A forged state that does not decode must fail with the same error under
// the sweep as without it (or with std::bad_alloc), and leave the processor unchanged.
//
//   processor_faults [rounds]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_failure.h"
#include "engine/codec.h"
#include "engine/extract.h"
#include "engine/listing.h"
#include "engine/processor.h"
#include "engine/utf8.h"

namespace {

using kwsieve::ByteWriter;
using kwsieve::DecodeError;
using kwsieve::KeywordProcessor;
using kwsieve::WordSet;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "processor_faults: %s %s\n", what, detail.c_str());
  std::exit(1);
}

void check(bool ok, const char* what, const std::string& detail = {}) {
  if (!ok) fail(what, detail);
}

std::mt19937_64 rng(20261207);
std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng() % n); }

// Characters of one to four bytes, upper and lower case, and U+0130, whose lowercase is two
// characters long.
const std::vector<uint32_t> kAlphabet = {'a', 'b', 'c', 'A', 'B', ' ', '-', '1', 0xE9, 0xC9, 0x130, 0x20AC, 0x1F600};

std::string random_text(std::size_t max_chars) {
  std::string s;
  const std::size_t n = below(max_chars + 1);
  for (std::size_t i = 0; i < n; ++i) kwsieve::append_utf8(s, kAlphabet[below(i < 2 ? 4 : kAlphabet.size())]);
  return s;
}

std::string random_name() {
  // Now and then a long name, so that replaced names pile up and the name arena compacts.
  return below(10) ? random_text(4) : std::string(300, static_cast<char>('A' + below(26)));
}

// The same processors: both hold `state`.
void load(KeywordProcessor& p, std::string_view state) {
  kwsieve::DecodedProcessor d = kwsieve::decode_processor(state);
  p.replace_state(std::move(d.words), std::move(d.trie), d.case_sensitive, d.allow_overlaps);
}

// What an extraction found, as comparable values.
using Found = std::vector<std::tuple<std::string, float, std::size_t, std::size_t>>;

Found extract(const KeywordProcessor& p, std::string_view text, std::optional<float> threshold) {
  Found out;
  for (const auto& m : kwsieve::extract_keywords(p, text, threshold)) {
    out.emplace_back(std::string(m.keyword), m.similarity, m.start, m.end);
  }
  return out;
}

std::string describe(std::string_view text, std::optional<float> threshold, const Found& got, const Found& want) {
  std::string out = "text \"" + std::string(text) + "\" threshold " + (threshold ? std::to_string(*threshold) : "none");
  for (const auto* f : {&got, &want}) {
    out += f == &got ? "\n  got:" : "\n  want:";
    for (const auto& [k, s, b, e] : *f) out += " (" + k + " " + std::to_string(s) + " " + std::to_string(b) + ".." + std::to_string(e) + ")";
  }
  return out;
}

// A text made of some of the processor's keywords, with a little noise between them.
std::string probe_text(const KeywordProcessor& p) {
  std::string text;
  kwsieve::list_keywords(p.trie(), [&](std::string_view k, std::string_view) {
    if (text.size() < 400 && below(2)) {
      text += k;
      text += below(3) ? " " : " x";
    }
  });
  return text;
}

// ---- forged states ----

void write_key(ByteWriter& w, uint32_t key) { w.key(key); }

// Writes a random node (below its key): its children, then its name tag. Depth is bounded.
void write_node(ByteWriter& w, int depth) {
  const std::size_t shape = below(10);
  std::vector<uint32_t> keys;
  if (depth < 10) {
    if (shape < 4) {
      keys.push_back(static_cast<uint32_t>('a' + below(3)));  // a lone chain
    } else if (shape < 6) {
      for (std::size_t i = 0, n = 2 + below(4); i < n; ++i) {
        const std::size_t kind = below(10);
        keys.push_back(kind < 7 ? static_cast<uint32_t>('a' + below(4)) : kind < 8 ? 0xFF : kind < 9 ? 300 : 0x1F600);
      }
      if (below(2)) std::sort(keys.begin(), keys.end());  // else unsorted, maybe repeated
    }
  }
  w.u64(keys.size());
  for (uint32_t k : keys) {
    write_key(w, k);
    write_node(w, depth + 1);
  }
  const bool named = keys.empty() ? below(5) != 0 : below(4) == 0;
  if (named) {
    w.byte(1);
    w.str(random_name());
  } else {
    w.byte(0);
  }
}

std::string forged_state() {
  std::string s;
  ByteWriter w(s);
  w.u64(WordSet::kWords);
  WordSet words = below(2) ? WordSet::defaults() : WordSet();
  if (below(3) == 0) words.add(static_cast<uint32_t>(below(0x20000)));
  for (uint64_t word : words.words()) w.u64(word);
  write_node(w, 0);
  w.byte(static_cast<uint8_t>(below(2)));
  w.byte(static_cast<uint8_t>(below(2)));
  return s;
}

// Cuts the trie part short or changes one of its bytes.
void damage(std::string& state) {
  const std::size_t trie_from = 8 + 8 * WordSet::kWords;
  if (state.size() <= trie_from) return;
  const std::size_t at = trie_from + below(state.size() - trie_from);
  if (below(2)) {
    state.resize(at);
  } else {
    state[at] = static_cast<char>(below(2) ? below(256) : state[at] ^ (1 << below(8)));
  }
}

// ---- the steps ----

struct Pair {
  KeywordProcessor under_test;  // run under the sweep
  KeywordProcessor reference;   // never failed
};

// Runs `step` on the processor under test under the sweep, after `reference_step` ran on the
// reference. A step whose failure shows only in its own result (an extraction) checks that
// in `result_ok`, called after each completed attempt.
template <class Step, class RefStep>
void mutate(Pair& p, Step step, RefStep reference_step, const std::function<void()>& result_ok = {}) {
  const std::string before = kwsieve::encode_processor(p.reference);
  const std::string text = probe_text(p.reference);
  const Found found = extract(p.reference, text, std::nullopt);
  reference_step(p.reference);
  const std::string after = kwsieve::encode_processor(p.reference);
  alloc_failure::sweep(
      [&] { step(p.under_test); },
      [&] {
        check(kwsieve::encode_processor(p.under_test) == before, "a failed step changed the state");
        check(extract(p.under_test, text, std::nullopt) == found, "after a failed step, extraction differs");
      },
      [&] {
        check(kwsieve::encode_processor(p.under_test) == after, "a step that absorbed a failure went wrong");
        if (result_ok) result_ok();
        load(p.under_test, before);
      });
  check(kwsieve::encode_processor(p.under_test) == after, "a step went wrong");
  if (result_ok) result_ok();
}

void set_state(Pair& p, const std::string& state) {
  std::string expected_error;
  try {
    kwsieve::DecodedProcessor d = kwsieve::decode_processor(state);
  } catch (const DecodeError& e) {
    expected_error = e.what();
  }
  std::string error;
  auto apply = [&](KeywordProcessor& k) {
    error.clear();
    try {
      load(k, state);
    } catch (const DecodeError& e) {
      error = e.what();
    }
  };
  mutate(p, apply, [&](KeywordProcessor& k) {
    try {
      load(k, state);
    } catch (const DecodeError&) {
    }
  }, [&] { check(error == expected_error, "decoding failed differently:", error + " / " + expected_error); });
}

void round(int r) {
  Pair p{KeywordProcessor(r % 2 == 0, r % 3 == 0), KeywordProcessor(r % 2 == 0, r % 3 == 0)};
  std::vector<std::string> added;
  const std::size_t steps = 20 + below(120);
  for (std::size_t s = 0; s < steps; ++s) {
    const std::size_t op = below(20);
    if (op < 9) {
      const std::string kw = random_text(7);
      const std::optional<std::string> name = below(3) ? std::optional<std::string>(random_name()) : std::nullopt;
      auto add = [&](KeywordProcessor& k) { k.add_keyword(kw, name ? std::optional<std::string_view>(*name) : std::nullopt); };
      mutate(p, add, add);
      added.push_back(kw);
    } else if (op < 12) {
      const std::string kw = !added.empty() && below(4) ? added[below(added.size())] : random_text(5);
      bool removed = false, expected = false;
      mutate(p, [&](KeywordProcessor& k) { removed = k.remove_keyword(kw); },
             [&](KeywordProcessor& k) { expected = k.remove_keyword(kw); },
             [&] { check(removed == expected, "remove_keyword() result differs for", kw); });
    } else if (op < 13) {
      const uint32_t c = below(2) ? kAlphabet[below(kAlphabet.size())] : static_cast<uint32_t>(below(0x110000));
      auto add = [&](KeywordProcessor& k) { k.add_non_word_boundary(c); };
      mutate(p, add, add);
    } else if (op < 14) {
      std::vector<uint32_t> chars;
      for (std::size_t i = 0, n = below(6); i < n; ++i) chars.push_back(kAlphabet[below(kAlphabet.size())]);
      auto set = [&](KeywordProcessor& k) { k.set_non_word_boundaries(chars); };
      mutate(p, set, set);
    } else if (op < 16) {
      // Another random processor's state.
      KeywordProcessor other(below(2), below(2));
      for (std::size_t i = 0, n = below(30); i < n; ++i) other.add_keyword(random_text(12), std::nullopt);
      std::string state = kwsieve::encode_processor(other);
      if (below(4) == 0) damage(state);
      set_state(p, state);
    } else if (op < 18) {
      std::string state = forged_state();
      if (below(3) == 0) damage(state);
      set_state(p, state);
    } else {
      // Extraction and encoding change nothing, whether they fail or not.
      const std::string text = probe_text(p.reference) + random_text(6);
      const std::optional<float> threshold = below(2) ? std::optional<float>(0.75f) : std::nullopt;
      const Found expected = extract(p.reference, text, threshold);
      Found found;
      mutate(p, [&](KeywordProcessor& k) { found = extract(k, text, threshold); }, [](KeywordProcessor&) {},
             [&] { check(found == expected, "extraction differs:", describe(text, threshold, found, expected)); });
      std::string encoded;
      mutate(p, [&](KeywordProcessor& k) { encoded = kwsieve::encode_processor(k); }, [](KeywordProcessor&) {},
             [&] { check(encoded == kwsieve::encode_processor(p.reference), "encoding differs"); });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
  for (int r = 0; r < rounds; ++r) round(r);
  const auto& t = alloc_failure::totals();
  std::printf("processor_faults: %zu injected failures (%zu absorbed) in %zu attempts\n", t.thrown + t.absorbed,
              t.absorbed, t.attempts);
  std::printf("processor_faults: %d rounds passed\n", rounds);
  return 0;
}
