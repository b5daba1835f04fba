#pragma once
// Local files of the transfers. A file that is read is opened once and read
// in full blocks; a file that is received is written to a temporary file
// beside its target and moved over the target only when it is complete, so
// a failed or cancelled transfer leaves the old file (or no file) in place.
//
// Every call reports failure by the system's error number (errno), 0 for
// success; the callers turn it into their own message.
#include <cstddef>
#include <cstdint>
#include <string>

namespace corvane {

class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { Close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens an existing file for reading. A folder is refused with EISDIR, a
  // pipe, socket or device with EINVAL.
  int Open(const std::string& path);
  bool IsOpen() const { return m_fd >= 0; }
  // The length at the time of opening.
  int64_t Size() const { return m_size; }
  // Reads up to n bytes; fewer only at the end of the file. Returns the count;
  // `error` is 0 or the errno of a failed read.
  size_t Read(void* buf, size_t n, int& error);
  void Close();

 private:
  int m_fd = -1;
  int64_t m_size = 0;
};

class ReplacingFile {
 public:
  // Temporary files are named kTempPrefix + 8 random letters or digits +
  // kTempSuffix in the target's folder: hidden, and of the same short length
  // for every target, so that any name the folder can hold can be fetched.
  static constexpr const char* kTempPrefix = ".corvane-";
  static constexpr const char* kTempSuffix = ".part";

  ReplacingFile() = default;
  // Removes the temporary file unless it was committed.
  ~ReplacingFile() { Discard(); }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Creates the temporary file in the target's folder. The target itself is
  // not touched. A target that is a folder is refused with EISDIR; a target
  // that is a symbolic link is replaced where it points; a target whose name
  // is longer than its folder's file system allows is refused with
  // ENAMETOOLONG.
  int Open(const std::string& target);
  bool IsOpen() const { return m_fd >= 0; }
  // Writes all n bytes.
  int Write(const void* data, size_t n);
  // Flushes the data to disk, closes the file and moves it over the target.
  // On failure the temporary file is removed and the target left as it was.
  int Commit();
  // Closes and removes the temporary file (nothing after a commit).
  void Discard();
  const std::string& TempPath() const { return m_tempPath; }
  const std::string& Target() const { return m_target; }

 private:
  int m_fd = -1;
  std::string m_target;
  std::string m_tempPath;
};

// Removes every temporary file of a ReplacingFile that is still open, for a
// program that ends at once without unwinding; after it, none is made or
// committed any more (ECANCELED).
void RemoveTemporaryFilesForExit();

// The file part of a local path (text after the last '/').
std::string LocalFileName(const std::string& path);

}  // namespace corvane
