// An interactive controller console on one port, driven entirely through
// write and read requests, as a controller program would drive it.
#pragma once

#include <cstdint>

#include "host_context.h"

namespace kelmor::host {

// Runs on the calling thread until the host stops.
void RunConsole(HostContext& host, uint8_t portTask);

}  // namespace kelmor::host
