// Small text helpers shared by the units that read line- and field-based texts.
#pragma once

#include <string>
#include <vector>

namespace kelda {

// Lines end at CR LF, a lone CR or a lone LF; a last line without an end counts when not empty.
std::vector<std::string> SplitLines(const std::string& text);

// Fields between any of the separator characters; n separators give n + 1 fields.
std::vector<std::string> SplitAt(const std::string& text, const std::string& separators);

}  // namespace kelda
