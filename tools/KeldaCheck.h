// "kelda-host check CONFIG --protocol P": the module's configuration check on a file, before
// the configuration goes anywhere near a PLC. It prints every finding with its line and column
// in the file, then each request as the module will send it, in GE's terms:
//
//   Tank levels: SNP-X ID PLC1, %R1-%R12 every 200 ms: LEVEL1-3 D16 from %R1, TEMPERATURE D16 x0.1 at %R4
//
// The check and the reading are the module's own code, linked in: no library is loaded.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "module/PluginDM.h"

namespace kelda::host {

// Exit statuses.
constexpr int kCheckClean = 0;
constexpr int kCheckFindings = 1;
constexpr int kCheckUnreadable = 2;  // the file cannot be read or holds no configuration; usage

// The sub-command: args after "check". The findings and the requests go to out, usage
// problems to err.
int CheckMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// One request as the module reads it with `protocol` (as stored: 0 CCM master to slave, 1 CCM
// peer to peer, 2 SNP, 3 SNP-X), in GE's terms, on one line.
std::string DescribeRequest(const TRequestItem& request, uint8_t protocol);

// The names of the values a successful read of `request` fills from the PLC's data, as the
// module names them in its rows; every other value of the request is its item's Default (it
// lies past the read, or the read is too short for a text). Without a known layout of the read
// every value name is taken as the PLC's.
std::vector<std::string> ValueNamesFromData(const TRequestItem& request, uint8_t protocol);

}  // namespace kelda::host
