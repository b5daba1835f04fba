#pragma once
// Test data and scratch files every suite uses: content that shows any
// misplaced byte, whole-file reads and writes, and a private folder removed
// with everything in it.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::test {

// Content that shows any misplaced byte: position-dependent, no long runs,
// a different sequence for every seed.
inline std::string Pattern(size_t n, unsigned seed = 1) {
  std::string b(n, '\0');
  uint32_t x = 2463534242u ^ (seed * 2654435761u);
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b[i] = static_cast<char>(x & 0xFF);
  }
  return b;
}

inline std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteWhole(const std::filesystem::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// A private folder under the system's temp folder, removed with all it holds.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix = "corvane-test") {
    std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder in " + tmpl);
    m_path = tmpl;
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& Path() const { return m_path; }
  // Names of everything in the folder, sorted (to prove nothing was left behind).
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m_path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path m_path;
};

}  // namespace corvane::test
