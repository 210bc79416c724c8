// Random texts for the message tests: ASCII and beyond, blanks and tabs, characters that mean
// something in a header, words far longer than a line, lines of exactly the longest length.
// Seeded: a test prints its seed, and PELORIN_TEST_SEED gives the same inputs again.
#pragma once

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "mail/compose_message.h"

namespace testing_support {

inline unsigned TestSeed() {
  if (const char* given = std::getenv("PELORIN_TEST_SEED")) {
    return static_cast<unsigned>(std::strtoul(given, nullptr, 10));
  }
  return std::random_device()();
}

class RandomMessageText {
 public:
  explicit RandomMessageText(unsigned seed) : random_(seed) {}

  std::string Text(std::size_t mostPieces) {
    static const std::vector<std::string> kPieces = {
        "a",
        "Z",
        "9",
        " ",
        "  ",
        "\t",
        ".",
        ",",
        "\"",
        "<",
        ">",
        "(",
        "=?",
        "?=",
        "=",
        "_",
        "@",
        "\xC3\xBC",          // ü
        "\xC3\x9F",          // ß
        "\xE2\x80\x93",      // en dash
        "\xE6\x9D\xB1",      // 東
        "\xF0\x9F\x98\x80",  // grinning face
    };
    std::string text;
    const std::size_t pieces = Below(mostPieces + 1);
    for (std::size_t i = 0; i < pieces; ++i) {
      const std::size_t pick = Below(kPieces.size() + 2);
      if (pick == kPieces.size()) {
        text += std::string(1 + Below(2100), 'x');  // a word longer than any line may be
      } else if (pick == kPieces.size() + 1) {
        for (std::size_t n = 1 + Below(400); n > 0; --n) text += "\xC3\xB6";  // ö
      } else {
        text += kPieces[pick];
      }
    }
    return text;
  }

  std::vector<std::string> MemoLines() {
    std::vector<std::string> lines;
    for (std::size_t n = Below(6); n > 0; --n) {
      switch (Below(4)) {
        case 0:
          lines.push_back(std::string(998, 'a'));
          break;
        case 1:
          lines.push_back(".");
          break;
        default:
          lines.push_back(Text(30));
      }
    }
    return lines;
  }

  pelorin::MessageFields Fields() {
    // Braces: their parts are made in order, so a seed always gives the same fields.
    return {Text(30), Text(12), "ann@example.org", "me@example.com", MemoLines()};
  }

 private:
  std::size_t Below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
  }

  std::mt19937 random_;
};

}  // namespace testing_support
