// Compressor speed: the fast match search and the exhaustive one on the same
// 4 MiB inputs, chunk by chunk, with a check that their output is identical.
//
//   bench_compress [binaries|text|all] [MiB] [fast]
//
// With "fast" only the fast search runs (for profiling it).
//
// "binaries" is made of the programs and libraries found on this system,
// "text" of the C headers under /usr/include.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "upgrade/compressed_image_stream.h"

namespace fs = std::filesystem;
using corvane::CompressChunk;
using corvane::MatchSearch;

namespace {

std::vector<uint8_t> Gather(const std::vector<std::string>& roots, bool (*want)(const fs::path&), size_t size) {
  std::vector<uint8_t> out;
  for (const auto& root : roots) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
         it != end && out.size() < size; it.increment(ec)) {
      if (ec) break;
      if (!it->is_regular_file(ec) || !want(it->path())) continue;
      std::ifstream in(it->path(), std::ios::binary);
      std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      // At most 256 KiB from one file, so that the mix stays varied.
      data.resize(std::min<size_t>(data.size(), 256 * 1024));
      out.insert(out.end(), data.begin(), data.end());
    }
  }
  if (out.size() > size) out.resize(size);
  return out;
}

bool IsBinary(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  char magic[4] = {};
  in.read(magic, 4);
  return std::memcmp(magic, "\x7f" "ELF", 4) == 0;
}
bool IsHeader(const fs::path& p) { return p.extension() == ".h"; }

struct Run {
  double seconds = 0;
  std::vector<uint8_t> output;
};

Run Compress(const std::vector<uint8_t>& data, MatchSearch search) {
  Run r;
  std::vector<uint8_t> block(corvane::kBzMaxBlockSize);
  const auto start = std::chrono::steady_clock::now();
  for (size_t at = 0; at < data.size(); at += corvane::kBzChunkSize) {
    const size_t n = std::min(corvane::kBzChunkSize, data.size() - at);
    const size_t len = CompressChunk(data.data() + at, n, block.data(), search);
    r.output.insert(r.output.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(len));
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

bool g_fastOnly = false;

bool Measure(const std::string& name, const std::vector<uint8_t>& data) {
  const double mb = static_cast<double>(data.size()) / 1e6;
  const Run fast = Compress(data, MatchSearch::kFast);
  if (g_fastOnly) {
    std::printf("%-9s %8zu bytes -> %8zu  fast %8.2f MB/s\n", name.c_str(), data.size(), fast.output.size(),
                mb / fast.seconds);
    return true;
  }
  const Run exhaustive = Compress(data, MatchSearch::kExhaustive);
  const bool same = fast.output == exhaustive.output;
  std::printf("%-9s %8zu bytes -> %8zu (%.1f%%)  exhaustive %7.2f MB/s  fast %8.2f MB/s  x%.0f  output %s\n",
              name.c_str(), data.size(), fast.output.size(), 100.0 * static_cast<double>(fast.output.size()) / static_cast<double>(data.size()),
              mb / exhaustive.seconds, mb / fast.seconds, exhaustive.seconds / fast.seconds,
              same ? "identical" : "DIFFERENT");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "all";
  const size_t size = (argc > 2 ? std::stoul(argv[2]) : 4) << 20;
  g_fastOnly = argc > 3 && std::string(argv[3]) == "fast";
  bool ok = true;
  if (which == "binaries" || which == "all") {
    const auto data = Gather({"/usr/bin", "/usr/lib"}, IsBinary, size);
    ok = Measure("binaries", data) && ok;
  }
  if (which == "text" || which == "all") {
    const auto data = Gather({"/usr/include"}, IsHeader, size);
    ok = Measure("text", data) && ok;
  }
  return ok ? 0 : 1;
}
