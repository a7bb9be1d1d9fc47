// Password input for the command-line tool: from TOVIK_PASSWORD when it is
// set, otherwise from the controlling terminal with echo switched off. The
// terminal's settings are restored on every path, Ctrl+C included.
// Single-threaded callers only (it may install a SIGINT handler briefly).
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "cli/failure.h"

namespace tovik::cli {

// TOVIK_PASSWORD when set and valid UTF-8; else read_terminal_password(prompt).
[[nodiscard]] std::expected<std::string, Failure> read_password(std::string_view prompt);

// Writes prompt to /dev/tty, reads one line with echo off, returns it without
// its line ending. Open or configuration errors are OS failures.
[[nodiscard]] std::expected<std::string, Failure> read_terminal_password(std::string_view prompt);

// True when TOVIK_PASSWORD is present in the environment at all (a value that
// is not valid UTF-8 counts as present).
bool password_variable_present();

}  // namespace tovik::cli
