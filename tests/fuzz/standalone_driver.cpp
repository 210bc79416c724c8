// Runs a libFuzzer-style target without libFuzzer: every file of the corpus first, then
// inputs mutated from them (bit flips, insertions, deletions, splices of two inputs) until a
// time budget runs out. Used where the compiler has no -fsanitize=fuzzer; the sanitizers of
// the build catch what the target does wrong.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Input = std::vector<std::uint8_t>;

struct Options {
  std::vector<std::string> corpusDirs;
  double seconds = 10;
  unsigned seed = 1;
  std::size_t maxLength = 4096;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-max_total_time=", 0) == 0) {
      options.seconds = std::atof(arg.c_str() + 16);
    } else if (arg.rfind("-seed=", 0) == 0) {
      options.seed = static_cast<unsigned>(std::strtoul(arg.c_str() + 6, nullptr, 10));
    } else if (arg.rfind("-max_len=", 0) == 0) {
      options.maxLength = std::strtoul(arg.c_str() + 9, nullptr, 10);
    } else if (arg[0] != '-') {
      options.corpusDirs.push_back(arg);
    }
  }
  return options;
}

std::vector<Input> ReadCorpus(const std::vector<std::string>& dirs) {
  std::vector<Input> corpus;
  for (const std::string& dir : dirs) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path(), std::ios::binary);
      corpus.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
  }
  if (corpus.empty()) corpus.emplace_back();
  return corpus;
}

Input Mutate(const std::vector<Input>& corpus, std::mt19937& random, std::size_t maxLength) {
  auto pick = [&](std::size_t bound) {
    return bound == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
  };
  Input input = corpus[pick(corpus.size())];
  const std::size_t rounds = 1 + pick(8);
  for (std::size_t r = 0; r < rounds; ++r) {
    switch (pick(5)) {
      case 0:
        if (!input.empty()) input[pick(input.size())] ^= static_cast<std::uint8_t>(1u << pick(8));
        break;
      case 1:
        input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)),
                     static_cast<std::uint8_t>(pick(256)));
        break;
      case 2:
        if (!input.empty()) input.erase(input.begin() + static_cast<long>(pick(input.size())));
        break;
      case 3: {
        const Input& other = corpus[pick(corpus.size())];
        const std::size_t from = pick(other.size() + 1);
        input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)),
                     other.begin() + static_cast<long>(from), other.end());
        break;
      }
      default: {
        // Bytes that steer line-based parsers: CR, LF, NUL, Ctrl-Z, digits, '-', '.', ':'.
        static const char kSpecial[] =
            "\r\n\0\x1a"
            "0123456789-.: ";
        input.insert(input.begin() + static_cast<long>(pick(input.size() + 1)),
                     static_cast<std::uint8_t>(kSpecial[pick(sizeof kSpecial - 1)]));
      }
    }
  }
  if (input.size() > maxLength) input.resize(maxLength);
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  const std::vector<Input> corpus = ReadCorpus(options.corpusDirs);
  for (const Input& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());

  std::mt19937 random(options.seed);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
  unsigned long runs = corpus.size();
  while (std::chrono::steady_clock::now() < deadline) {
    const Input input = Mutate(corpus, random, options.maxLength);
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++runs;
  }
  std::printf("Done %lu runs in %.0f s\n", runs, options.seconds);
  return 0;
}
