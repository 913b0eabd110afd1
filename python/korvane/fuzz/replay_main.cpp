// Replays inputs through a fuzz target without libFuzzer: every file named on
// the command line, and every file inside every folder named there, goes once
// through the target's LLVMFuzzerTestOneInput. A target that finds a fault
// aborts, so a zero exit status means every input passed. A folder that does
// not exist is skipped with a note, so optional seed folders may be named.
//
//   replay_fuzz_json corpus/fuzz_json [more folders or files...]
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool replay_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A copy of exactly the input's size, so reads past its end are caught.
  std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help") {
    std::fprintf(argc < 2 ? stderr : stdout, "usage: %s FOLDER_OR_FILE...\n", argv[0]);
    return argc < 2 ? 2 : 0;
  }
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path given(argv[i]);
    std::error_code error;
    if (fs::is_regular_file(given, error)) {
      if (!replay_file(given)) return 1;
      ++replayed;
      continue;
    }
    if (!fs::is_directory(given, error)) {
      std::fprintf(stderr, "skipped %s: no such folder\n", given.c_str());
      continue;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(given)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());  // a fixed order, so a failure is reproducible
    for (const auto& file : files) {
      if (!replay_file(file)) return 1;
      ++replayed;
    }
  }
  std::printf("%s: %zu inputs replayed\n", fs::path(argv[0]).filename().c_str(), replayed);
  return 0;
}
