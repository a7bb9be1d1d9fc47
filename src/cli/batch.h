// Batch mode: shell lines from standard input, one compact JSON line per
// response, stopping at the first failure of any kind.
//
// Threads: the tool's one thread only.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "cli/failure.h"
#include "cli/network.h"
#include "server/protocol.h"
#include "server/transport.h"

namespace tovik::cli {

// The output line for a response, without its line feed: keys in the fixed
// order version, ok, data, error; error as code then message.
std::string batch_output_line(const server::Response& response);

// run_batch with its input, output and timings injected.
[[nodiscard]] Outcome run_batch_with(const std::optional<std::string>& address, InputReader& input,
                                     std::ostream& out,
                                     const server::TransportTimings& timings = {});

}  // namespace tovik::cli
