// The bridge's console lines (with --console): connections opened and
// closed, handshakes refused and why. Argument values never go here.
#pragma once

#include <string>
#include <string_view>

namespace bridge {

// Sends later lines to the standard output the bridge was started with, or
// where it has none, to its parent's console or else a new one.
void OpenConsole();

// Writes one line when a console is open; lines from several threads never
// mix. A line that finds no memory is left out.
void LogLine(std::string_view text) noexcept;

// |text| from the network made safe for a line: at most 200 characters,
// anything but printable ASCII as '?'.
std::string Printable(std::string_view text);

}  // namespace bridge
