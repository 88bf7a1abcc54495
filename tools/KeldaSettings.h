// Settings as a host or an installer writes them for the module to read: an INI file the host
// names at "LOAD" (INI-FILE), or the registry key it names (REGISTRY-PATH).
//
// Texts are stored on one line as the module reads them: UTF-8, a space written as "+" in a
// leading run of spaces and before another space, "%" doubled, the bytes 0x21..0x7F other
// than "+" as they are, every other byte (CR, LF, "+", 0x80 and up) as "%" and two upper-case
// hexadecimal digits. A multi-line configuration text thus keeps its line breaks as %0D%0A.
#pragma once

#include <string>

namespace kelda::host {

std::string EncodeStoredText(const std::string& utf8);

// Sets key=value in [section] of the INI file (CR LF lines), creating file and section as
// needed and keeping the file's other lines. The value is written as given. Throws Exception
// when the file cannot be written.
void WriteIniValue(const std::string& file, const std::string& section, const std::string& key,
                   const std::string& value);

}  // namespace kelda::host
