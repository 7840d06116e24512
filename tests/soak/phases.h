// The soak's phases. Each adds its rows to the table.
#pragma once

#include "soak_host.h"

namespace soak {

// Runs the create / connect to "localhost" / release / free-unused-libraries
// loop in a child process (nothing else holds the library there).
void UnloadLoop(const Settings& settings, Table& table);
// The loop itself, in the child: the process exit code tells how it went.
int UnloadLoopChild(int rounds);

void StreamLoad(const Settings& settings, Table& table);
void Resources(const Settings& settings, Table& table);
void SerialPrints(const Settings& settings, Table& table);
void NetworkJobs(const Settings& settings, Table& table);

}  // namespace soak
