// Ending and starting bridges around an install. The installer package runs
// `LabelBridge.exe --end` before it replaces or removes the bridge's files,
// so that Windows Installer never finds them in use (it would put off the
// change to the next restart while the old bridge goes on serving), and
// `LabelBridge.exe --start-for-users` once the new files are in place, so
// that the users logged on get the new bridge without logging on again.
#pragma once

#include "scoped.h"

namespace bridge {

// The image name every bridge runs under, whatever folder it is in.
inline constexpr wchar_t kBridgeImageName[] = L"LabelBridge.exe";

// This bridge's request to end: the unset manual-reset event
// Global\Lumtag.LabelBridge.End.<process id, decimal>. Only the bridge's own
// user, LocalSystem and the Administrators may set it or wait on it; the
// creating user owns it. Empty (and a log line) when it cannot be created:
// the bridge then serves on, and --end terminates it instead.
core::ScopedHandle CreateEndRequest();

// --end: asks every other LabelBridge.exe on the machine to end (sets its end
// request) and waits for them all within limits::kEndOthersTime; one without an end
// request (a bridge older than the request) or still running after the bound
// is terminated. One log line per bridge. Returns the exit code: 0 when none
// is left running.
int EndRunningBridges();

// --start-for-users: starts this executable without arguments (the command
// the logon starts) for the users logged on and returns at once. As
// LocalSystem (the installer's deferred actions): in each user session, as
// its user; otherwise in this process's own session. The bridge's one
// instance per session makes a second start in a session harmless. Returns
// the exit code: 0 when every start succeeded.
int StartForUsers();

}  // namespace bridge
