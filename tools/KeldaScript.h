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
