// Replays a fuzz target's seed corpus without libFuzzer: every file of the directories given
// is run through LLVMFuzzerTestOneInput once, so that builds made with another compiler (and
// their sanitizers) still check every seed. Nothing is mutated: that is libFuzzer's job in
// the PELORIN_FUZZ build. Options in libFuzzer's style ("-name=value") are ignored.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

// The number of inputs replayed from the directory; -1 when it cannot be read.
long ReplayDirectory(const fs::path& directory) {
  std::error_code error;
  fs::directory_iterator entries(directory, error);
  if (error) return -1;
  long replayed = 0;
  for (const fs::directory_entry& entry : entries) {
    if (!entry.is_regular_file()) continue;
    const std::vector<std::uint8_t> input = ReadBytes(entry.path());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++replayed;
  }
  return replayed;
}

}  // namespace

int main(int argc, char** argv) {
  long total = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("-")) continue;
    const long replayed = ReplayDirectory(argument);
    if (replayed < 0) {
      std::fprintf(stderr, "cannot read the corpus directory %s\n", argument.c_str());
      return 1;
    }
    std::printf("replayed %ld inputs from %s\n", replayed, argument.c_str());
    total += replayed;
  }
  if (total == 0) {
    std::fprintf(stderr, "no inputs to replay: give the corpus directories\n");
    return 1;
  }
  return 0;
}
