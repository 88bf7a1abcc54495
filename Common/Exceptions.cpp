#include "Common/Exceptions.h"

namespace kelda {

static std::string AssertionMessage(const std::string& text, const char* sourcePath, int line) {
  std::string message = text.empty() ? std::string("Assertion failure") : text;
  message += " (" + std::string(sourcePath) + ", line " + std::to_string(line) + ")";
  return message;
}

EAssertionFailed::EAssertionFailed(const std::string& text, const char* sourcePath, int line)
    : Exception(AssertionMessage(text, sourcePath, line)), SourcePath(sourcePath), Line(line) {}

}  // namespace kelda
