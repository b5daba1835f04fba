#pragma once
// The one exception kind of the device link, and its two ways of being raised.
#include <stdexcept>
#include <string>

namespace corvane {

inline constexpr const char* kConnectionErrorText =
    "Connection error.\r\nPlease check your connections.";

class LinkException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raises "Error (" + message + ")".
[[noreturn]] void LinkError(const std::string& message);
// Raises "Connection error.\r\nPlease check your connections.".
[[noreturn]] void ConnectionError();

}  // namespace corvane
