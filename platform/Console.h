// The console of the tools (the bench poller): Ctrl+C and whether standard output is a terminal.
// The plug-in itself never owns a console; its host does.
#pragma once

namespace kelda::platform {

using InterruptHandler = void (*)();

// From now on Ctrl+C (SIGINT on POSIX, the console's Ctrl+C and Ctrl+Break events on Windows)
// calls handler instead of ending the program; nullptr restores the system's default. The
// handler runs in a signal handler (POSIX) or in a thread of the system's (Windows): it may
// only set an atomic flag or cancel a waiting port read. Returns false when the system
// refused.
bool OnInterrupt(InterruptHandler handler);

// Whether standard output is a terminal that understands the ANSI cursor sequences (on
// Windows the console's virtual terminal mode is switched on for it). False for a file or a
// pipe.
bool StdoutIsTerminal();

}  // namespace kelda::platform
