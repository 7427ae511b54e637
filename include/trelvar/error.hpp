// Library error: one exception type carrying a message and, optionally, the
// message of the error that caused it (used by the URDF importer).
#pragma once

#include <stdexcept>
#include <string>

// Public interface: exported from the shared library (see DEVELOPERS.md).
#pragma GCC visibility push(default)

namespace trelvar {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message), message_(message) {}
  Error(const std::string& message, std::string cause)
      : std::runtime_error(message), message_(message), cause_(std::move(cause)) {}

  // The whole message (what() stops at a NUL byte a file name may carry).
  const std::string& message() const noexcept { return message_; }

  // The message of the underlying error, empty when there is none.
  const std::string& cause() const noexcept { return cause_; }
  bool has_cause() const noexcept { return !cause_.empty(); }
  // "message: cause", or just the message when there is no cause.
  std::string full_message() const {
    return has_cause() ? message_ + ": " + cause_ : message_;
  }

 private:
  std::string message_;
  std::string cause_;
};

// Messages shared by several algorithms.
std::string configuration_size_message(std::size_t expected, std::size_t got);
std::string velocity_size_message(std::size_t expected, std::size_t got);
inline constexpr const char* kMatrixIndexOutOfBounds = "Matrix index out of bounds.";

}  // namespace trelvar

#pragma GCC visibility pop
