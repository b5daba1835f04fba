#pragma once
// The one error type of the kit: a kind that says what went wrong, and the
// message the user sees. Every layer raises it; the desktop program shows the
// message and the command-line tool turns the kind into its exit code.
#include <stdexcept>
#include <string>

namespace corvane {

inline constexpr const char* kConnectionErrorText =
    "Connection error.\r\nPlease check your connections.";

enum class ErrorKind {
  kNoConnection,  // no device, a port or socket that cannot be opened, a link that broke
  kFailed,        // the device refused the command or the transfer failed
  kLocalFile,     // a file on this computer cannot be read or written
  kCancelled,     // the user cancelled
  kBusy,          // another command is running
  kUsage,         // the request itself is wrong
};

// A short lower-case name of the kind ("no-connection", "failed", ...).
const char* ErrorKindName(ErrorKind kind);

class DeviceError : public std::runtime_error {
 public:
  DeviceError(ErrorKind kind, const std::string& message, std::string detail = {})
      : std::runtime_error(message), m_kind(kind), m_detail(std::move(detail)) {}

  ErrorKind Kind() const { return m_kind; }
  // The system's reason behind the message, with advice (may be empty).
  const std::string& Detail() const { return m_detail; }
  // True when the message has already been shown in the transfer dialog and
  // the log (a transfer's own failure report).
  bool Reported() const { return m_reported; }
  DeviceError& MarkReported() {
    m_reported = true;
    return *this;
  }

 private:
  ErrorKind m_kind;
  std::string m_detail;
  bool m_reported = false;
};

// Raises "Error (" + message + ")" of the given kind.
[[noreturn]] void LinkError(const std::string& message, ErrorKind kind = ErrorKind::kFailed);
// Raises "Connection error.\r\nPlease check your connections." (no connection).
[[noreturn]] void ConnectionError(std::string detail = {});
// The kind of any exception: a DeviceError's own, kFailed for anything else.
ErrorKind KindOf(const std::exception& e);

// The system's words for the error number `err` (errno), followed by what
// the user can do about it where there is something to do, in one line:
// "No space left on device. Free some space on that disk and try again".
// Every failure of a local file, a port or a socket is told with it, never
// with the bare number.
std::string Detail(int err);

}  // namespace corvane
