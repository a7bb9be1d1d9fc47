// Generated damage for the JSON reader tests: a small fixed-seed generator
// and random single-character edits drawn from JSON's own alphabet (plus
// control bytes and broken UTF-8), so every run sees the same texts.
#pragma once

#include <cstdint>
#include <string>

namespace tovik {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::size_t below(std::size_t n) {
    state_ = state_ * 6364136223846793005u + 1442695040888963407u;
    return static_cast<std::size_t>(state_ >> 33) % n;
  }

 private:
  std::uint64_t state_;
};

// One to three insertions, replacements or erasures at random places.
inline void mutate(Random& random, std::string& text) {
  static const std::string alphabet = "{}[],:\"\\ -+.0123456789eEtrufalsnx\x01\xC3\xA9\xFF\xED\xA0";
  for (std::size_t edits = 1 + random.below(3); edits > 0; --edits) {
    const std::size_t at = random.below(text.size() + 1);
    const char c = alphabet[random.below(alphabet.size())];
    switch (random.below(3)) {
      case 0:
        text.insert(at, 1, c);
        break;
      case 1:
        if (at < text.size()) text[at] = c;
        break;
      default:
        if (at < text.size()) text.erase(at, 1);
    }
  }
}

}  // namespace tovik
