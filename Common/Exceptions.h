// Exception classes of the module. Inside the module failures are exceptions that carry a
// message; the exports and interface methods catch them and answer with result codes.
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
KELDA_EXCEPTION_CLASS(EConvertError, Exception);    // a text did not convert to a number or date
KELDA_EXCEPTION_CLASS(EListError, Exception);       // an index outside a list
KELDA_EXCEPTION_CLASS(ELockError, Exception);       // a lock misused (never raised by an unlock)
KELDA_EXCEPTION_CLASS(EFIFOStream, Exception);

// An internal consistency check that failed. The message reads
// "Assertion failure (<source path>, line <n>)" after the optional text.
class EAssertionFailed : public Exception {
public:
  EAssertionFailed(const std::string& text, const char* sourcePath, int line);
  std::string SourcePath;
  int Line;
};

}  // namespace kelda
