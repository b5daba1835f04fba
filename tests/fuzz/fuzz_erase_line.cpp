// The loader's erase lines ("... block N"): the last word of any line as a
// decimal integer. A value comes back only for a word of an optional sign and
// digits, and it is the word's value; anything else is the conversion error.
#include <cstddef>
#include <cstdint>
#include <string>

#include "link/link_error.h"
#include "upgrade/upgrade_worker.h"

namespace {

// The word the loader's line ends in: after the last byte of 0x20 or below,
// once trailing such bytes are gone.
std::string LastWord(const std::string& line) {
  size_t end = line.size();
  while (end > 0 && static_cast<uint8_t>(line[end - 1]) <= 0x20) --end;
  size_t begin = end;
  while (begin > 0 && static_cast<uint8_t>(line[begin - 1]) > 0x20) --begin;
  return line.substr(begin, end - begin);
}

// The word's value when it is a decimal integer that fits 32 bits.
bool Reference(const std::string& word, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < word.size() && (word[i] == '+' || word[i] == '-')) negative = word[i++] == '-';
  if (i == word.size()) return false;
  // Leading zeros do not count towards the size.
  while (i + 1 < word.size() && word[i] == '0') ++i;
  if (word.size() - i > 10) {
    for (; i < word.size(); ++i)
      if (word[i] < '0' || word[i] > '9') return false;
    return false;
  }
  value = 0;
  for (; i < word.size(); ++i) {
    if (word[i] < '0' || word[i] > '9') return false;
    value = value * 10 + (word[i] - '0');
  }
  if (negative) value = -value;
  return value >= INT32_MIN && value <= INT32_MAX;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  int64_t expected = 0;
  const bool valid = Reference(LastWord(line), expected);
  try {
    const int32_t got = corvane::LastWordAsInteger(line);
    if (!valid || got != expected) __builtin_trap();
    // Printed back and read again, the number is the same.
    if (corvane::LastWordAsInteger("erasing block " + std::to_string(got) + "\r\n") != got) __builtin_trap();
  } catch (const corvane::DeviceError& e) {
    if (valid) __builtin_trap();
    if (std::string(e.what()) != "'" + LastWord(line) + "' is not a valid integer value") __builtin_trap();
  }
  return 0;
}
