// The program's failures: exceptions carrying a message text.
#pragma once

#include <stdexcept>
#include <string>

namespace vnpp::common {

// Base of every failure the program raises on purpose. Boundaries catch it (and any
// std::exception), log "Error 1500: " + what() and go on.
class EPostProcError : public std::runtime_error {
 public:
  explicit EPostProcError(const std::string& message) : std::runtime_error(message) {}
};

// A value that does not convert, such as an invalid time of day.
class EConvertError : public EPostProcError {
 public:
  using EPostProcError::EPostProcError;
};

// A container misuse (bad capacity, growth step or index). Code is the container error number.
class EContainerError : public EPostProcError {
 public:
  EContainerError(const std::string& message, int code) : EPostProcError(message), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

}  // namespace vnpp::common
