// The failures the system services raise. Inside the module failures are exceptions that carry
// a message; the exports and interface methods catch them and answer with result codes. The
// classes of the layers above (conversions, lists, ...) build on these in Common/Exceptions.h.
#pragma once

#include <exception>
#include <string>

namespace kelda {

// The general exception: a message and nothing else.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

#define KELDA_EXCEPTION_CLASS(Name, Base) \
  class Name : public Base {              \
  public:                                 \
    using Base::Base;                     \
  }

KELDA_EXCEPTION_CLASS(EOutOfMemory, Exception);
KELDA_EXCEPTION_CLASS(EOutOfResources, Exception);  // a system resource (timer, window) refused
KELDA_EXCEPTION_CLASS(EInOutError, Exception);      // a stream or file was unusable
KELDA_EXCEPTION_CLASS(EFCreateError, Exception);    // a file could not be created
KELDA_EXCEPTION_CLASS(ELockError, Exception);       // a lock misused (never raised by an unlock)
KELDA_EXCEPTION_CLASS(ELockTimeout, ELockError);    // a named lock stayed taken for the whole wait

}  // namespace kelda
