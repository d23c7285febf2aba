// Runs a fuzz target without libFuzzer: every file of the seed corpus given on the command
// line, then deterministic mutations of each (bit flips, truncations, byte insertions), so
// that the normal test run exercises every parser with hostile input.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run(const std::vector<uint8_t>& input) {
  // Copy into an exactly sized buffer so that a sanitizer sees any read past the end.
  std::vector<uint8_t> exact(input);
  LLVMFuzzerTestOneInput(exact.data(), exact.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::vector<uint8_t>> seeds;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path dir(argv[i]);
    if (!std::filesystem::exists(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  seeds.emplace_back();
  std::mt19937 rng(12345);
  size_t runs = 0;
  for (const auto& seed : seeds) {
    run(seed), ++runs;
    for (size_t cut = 0; cut < seed.size(); ++cut) {
      run(std::vector<uint8_t>(seed.begin(), seed.begin() + cut)), ++runs;
    }
    for (int m = 0; m < 2000; ++m) {
      std::vector<uint8_t> v(seed);
      const int edits = 1 + static_cast<int>(rng() % 4);
      for (int e = 0; e < edits; ++e) {
        switch (rng() % 4) {
          case 0:
            if (!v.empty()) v[rng() % v.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            break;
          case 1:
            if (!v.empty()) v[rng() % v.size()] = static_cast<uint8_t>(rng());
            break;
          case 2:
            v.insert(v.begin() + (v.empty() ? 0 : rng() % (v.size() + 1)),
                     static_cast<uint8_t>(rng()));
            break;
          default:
            if (!v.empty()) v.erase(v.begin() + rng() % v.size());
        }
      }
      run(v), ++runs;
    }
  }
  std::printf("%zu inputs from %zu seeds\n", runs, seeds.size());
  return 0;
}
