// The host's standard input and output as the controller side of one port:
// each input line goes out as a write request, and every byte the port
// delivers is printed as it comes.
#pragma once

#include <cstdint>

#include "host_context.h"

namespace kelmor::host {

// Runs on the calling thread until the host stops; at the end of the input it
// lets the last bytes arrive, then stops the host.
void RunAttach(HostContext& host, uint8_t portTask);

}  // namespace kelmor::host
