// Batch mode: never prompts, prints every response as one JSON line, and
// stops at the first failure of any kind.
#include "cli/batch.h"

#include <iostream>
#include <string>

#include "cli/commands.h"
#include "cli/data_transfer.h"
#include "cli/query_lines.h"
#include "cli/shell_commands.h"
#include "server/client.h"

namespace tovik::cli {
// The line is the response exactly as the server's encoder writes it.
std::string batch_output_line(const server::Response& response) {
  return server::encode_response(response);
}

Outcome run_batch_with(const std::optional<std::string>& address, InputReader& input,
                       std::ostream& out, const server::TransportTimings& timings) {
  auto target = parse_client_target(client_address_text(address));
  if (!target) return std::unexpected(target.error());

  std::string user = "admin";
  if (target->user) {
    user = *target->user;
  } else if (auto from_env = env_text("TOVIK_USER")) {
    user = *from_env;
  }
  // Checked before connecting: a script missing its secret fails the same
  // way whether or not a server is up.
  auto password = env_text("TOVIK_PASSWORD");
  if (!password) return std::unexpected(Failure::message("batch requires TOVIK_PASSWORD"));

  auto connection = server::connect_server(target->address, timings);
  if (!connection) return std::unexpected(Failure::message(connection.error().text));
  auto authenticated = server::authenticate(connection->get(), user, *password, timings);
  if (!authenticated) return std::unexpected(Failure::message(authenticated.error().text));
  if (!authenticated->ok) return std::unexpected(Failure::message("authentication failed"));

  QueryContinuation queries;
  for (;;) {
    auto line = input.read_input_line();
    if (!line) return std::unexpected(line.error());
    if (!*line) return {};
    if ((*line)->empty()) continue;
    // Without a person to read it, help is no command here, nor reconnect:
    // parse_shell_line refuses both.
    const ShellAction action = shell_action(**line);
    if (action == ShellAction::kTransfer) {
      // The row's word is import or export, so the line is one.
      auto done = run_batch_transfer(connection->get(), timings, out, *parse_transfer_line(**line));
      if (!done) return done;
      continue;
    }
    auto command = action == ShellAction::kMore ? queries.more() : parse_shell_line(**line);
    if (!command) return std::unexpected(command.error());
    auto response = server::send_command(connection->get(), *command, timings);
    if (!response) return std::unexpected(Failure::message(response.error().text));
    queries.answered(*command, *response);
    // A failed write to standard output (a closed pipe) ends the run instead
    // of carrying on unseen.
    if (auto printed = write_output(out, batch_output_line(*response) + "\n"); !printed) {
      return printed;
    }
    if (!response->ok) return std::unexpected(Failure::message("batch command failed"));
    if (server::is_quit(*command)) return {};
  }
}

Outcome run_batch(const std::optional<std::string>& address) {
  return run_batch_with(address, standard_input(), std::cout);
}

}  // namespace tovik::cli
