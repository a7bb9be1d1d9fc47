// Import and export typed at a terminal: as run_shell_transfer, but Ctrl+C
// stops them. The request in flight is still answered (a second Ctrl+C
// gives up waiting for it); what the server acknowledged stays, and the
// shell says how far the command got.
//
// Threads: the tool's one thread only.
#pragma once

#include <expected>

#include "cli/data_transfer.h"
#include "cli/failure.h"
#include "cli/network.h"

namespace tovik::cli {

void run_interactive_transfer(ClientSession& session, SessionIo& io,
                              const std::expected<TransferLine, Failure>& line);

}  // namespace tovik::cli
