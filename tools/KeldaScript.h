// A small script language for the host harness, so that a run of host calls can be written
// down and replayed (the kelda-host program and tests use it). One call per line:
//
//   create [hostIndex]                      CreatePluginInstance
//   info                                    GetModuleInfo, both calls
//   load [NAME=VALUE ...]                   "LOAD" with the host's handle, name and window
//   command WORD [@flags=N] [NAME=VALUE ...]  any command word; an empty "RESULT" is added
//                                           unless one is given
//   data SOURCE FLAGS TEXT                  ProcessData with TEXT as port bytes (\r \n \\ escapes)
//   pump                                    dispatch the window's messages (log notifications)
//   ini FILE SECTION KEY VALUE              store a setting as an installer does: KEY=VALUE in
//                                           [SECTION] of FILE, the value encoded as the module
//                                           reads texts (one line); VALUE @PATH takes a file's text
//   line SOURCE MODE [chunk=N] [seed=N] [id=ID]  a serial line to a simulated GE PLC for data
//                                           source SOURCE of the instance; MODE is ccm-ms,
//                                           ccm-peer, snp or snpx; the port hands over 1..N bytes
//                                           at a time (default 7); ID is the PLC's SNP ID
//                                           (default PLC1; CCM: its station number, default 2)
//   registers SOURCE FIRST VALUE ...        set %R registers of that PLC from FIRST (0-based)
//   run MS [ROWS]                           the host's message loop for MS ms, or until every
//                                           line has delivered ROWS more rows; prints the rows'
//                                           values (standard packet fields left out)
//   log                                     GetLogEx
//   free | shutdown                         FreePluginInstance, the shutdown marker
//
// Values: a decimal or 0x number is an integer, anything else text; double quotes keep blanks;
// NAME= alone is a null value; $HOST, $WINDOW and $APP stand for the host's module handle,
// its message window and its program file name. Lines starting with "#" are comments.
#pragma once

#include <iosfwd>
#include <string>

#include "tools/KeldaHost.h"

namespace kelda::host {

// Runs the script; writes what the host sees to out. Returns false at the first line it cannot
// run (after writing why).
bool RunScript(TKeldaHost& host, std::istream& script, std::ostream& out);

}  // namespace kelda::host
