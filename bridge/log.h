// The bridge's lines for administrators: the port it listens on or why it
// could not, connections opened and closed, every refusal with its reason
// and origin, and its own failures. Argument values and label contents
// never go here.
#pragma once

#include <string>
#include <string_view>

namespace bridge {

// Sends later lines to the standard output the bridge was started with, or
// where it has none, to its parent's console or else a new one.
void OpenConsole();

// Sends later lines to %LOCALAPPDATA%\Lumtag\LabelBridge.log, each with the
// local time and the process id; at 1 MiB the file becomes
// LabelBridge.old.log and a new one begins. Without a folder for it, lines
// are left out.
void OpenLogFile();

// Writes one line where OpenConsole or OpenLogFile sent them; lines from
// several threads never mix. A line that finds no memory is left out.
void LogLine(std::string_view text) noexcept;

// |text| from the network made safe for a line: at most 200 characters,
// anything but printable ASCII as '?'.
std::string Printable(std::string_view text);

}  // namespace bridge
