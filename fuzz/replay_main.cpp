// Replays a fuzz target's seed corpus through the target itself, as an ordinary program: every file of
// the folders named on the command line, in name order, goes once through LLVMFuzzerTestOneInput. A
// broken invariant aborts inside the target; a folder that is missing or holds no file fails too, so
// a corpus cannot silently drop out of the replay.
//   replay_fuzz_NAME CORPUS_FOLDER...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(argv[i], ec))
      if (e.is_regular_file()) files.push_back(e.path());
    if (ec || files.empty()) {
      std::fprintf(stderr, "%s: no inputs in %s%s%s\n", argv[0], argv[i], ec ? ": " : "",
                   ec ? ec.message().c_str() : "");
      return 1;
    }
    std::sort(files.begin(), files.end());
    std::size_t bytes = 0;
    for (const fs::path& p : files) {
      std::ifstream in(p, std::ios::binary);
      const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (!in.eof() && in.fail()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], p.c_str());
        return 1;
      }
      // A copy of exactly the file's size, so that a read past the input is caught by the sanitizers.
      std::vector<std::uint8_t> input(data.begin(), data.end());
      LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
      bytes += input.size();
    }
    std::printf("%s: %zu inputs (%zu bytes) from %s\n", argv[0], files.size(), bytes, argv[i]);
  }
  return 0;
}
