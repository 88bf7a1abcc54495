// The pieces of the options dialog's data that the converter builds besides the form stream:
// string holder lines in their stored form, and the unpacked text of "FORM_DATA".
#pragma once

#include <string>
#include <vector>

#include "FormText.h"

namespace dfm {

// The lines of a text file: split at LF, a CR before it dropped; a final line ending ends the
// last line rather than starting an empty one.
std::vector<std::string> SplitFileLines(const std::string& text);

// Gives a string holder component the stored form of lines: InternalVer 2 and StrData (an
// empty key, then each line's bytes as two lowercase hexadecimal digits per byte). Replaces
// what the text gave for the two properties.
void SetHolderLines(Object& holder, const std::vector<std::string>& lines);

// Sections joined by an empty line, the separator line "<=======>" and another empty line;
// every line ends in CR LF. Sections: the script, the form resource name, the property map.
std::string FormDataText(const std::string& script, const std::string& formName,
                         const std::vector<std::string>& mapLines);

inline constexpr char kSectionSeparator[] = "<=======>";

}  // namespace dfm
