// Exception classes of the module above the system services (those are in
// platform/Exceptions.h, included here, so one include gives every class).
#pragma once

#include <string>

#include "platform/Exceptions.h"

namespace kelda {

KELDA_EXCEPTION_CLASS(EConvertError, Exception);  // a text did not convert to a number or date
KELDA_EXCEPTION_CLASS(EListError, Exception);     // an index outside a list
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
