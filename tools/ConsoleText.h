// Texts of the module on the tools' console. The module's texts (captions, values, its log lines)
// are in the PC's 8-bit code page; the console is written in UTF-8 (a Linux terminal's encoding;
// the Windows console is switched to UTF-8 for the program), so they are converted as the CSV file
// converts them, and control characters are shown as \xNN so that each text stays on its line.
#pragma once

#include <string>

namespace kelda::host {

std::string ConsoleText(const std::string& moduleText);

// Switches the Windows console's output to UTF-8 for this program; nothing elsewhere.
void UseUtf8Console();

}  // namespace kelda::host
