// The credential registry: the one administrator of a served database, kept
// as {"username","hash"} in a small JSON file beside the database (the
// database path with ".auth" appended). The hash is a PHC string of Argon2id
// with fixed settings; a registry with any other settings is refused.
//
// Threads: every function here is free of shared state. verify_credentials
// may run on any thread; the server still runs one verification at a time to
// bound the memory Argon2 spends. create/write run only in the command-line
// tool while it holds the database lock.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "core/file_system.h"

namespace tovik::server {

// The administrator's name and PHC hash text, in registry order.
struct Credentials {
  std::string username;
  std::string hash;
};

enum class CredentialErrorKind {
  InvalidInput,  // a name or password outside the rules
  InvalidData,   // a registry that is not the expected file
  Other,         // no random source
  WriteZero,     // a write that made no progress
  Os,            // an operating-system error, os_error holds errno
};

struct CredentialError {
  CredentialErrorKind kind = CredentialErrorKind::Other;
  int os_error = 0;  // set only for kind Os
  std::string text;  // the fixed message; strerror text for kind Os
};

inline constexpr std::string_view kBadCredentialInput =
    "username must be 1-64 simple characters; password must be 12-1024 bytes";
inline constexpr std::string_view kInvalidRegistry = "invalid credential registry";
inline constexpr std::string_view kNoRandomSource = "system random source unavailable";

inline constexpr std::size_t kMaxUsernameBytes = 64;
inline constexpr std::size_t kMinPasswordBytes = 12;
inline constexpr std::size_t kMaxPasswordBytes = 1'024;
inline constexpr std::size_t kMaxRegistryBytes = 4'096;

// "<database path>.auth".
std::string registry_path(std::string_view database_path);

// A fresh salt and hash for (username, password); touches no file.
[[nodiscard]] std::expected<Credentials, CredentialError> create_credentials(
    std::string_view username, std::string_view password);

// Creates the registry exclusively (0600), writes it, syncs file and directory.
// An existing file is never replaced: it fails with the system's EEXIST.
[[nodiscard]] std::expected<void, CredentialError> write_registry(
    const Credentials& credentials, const std::string& path, FileSystem& fs = real_file_system());

// Reads and validates the registry, refusing any but the fixed Argon2id settings.
[[nodiscard]] std::expected<Credentials, CredentialError> load_registry(
    const std::string& path, FileSystem& fs = real_file_system());

// True when the registry at path can be read or written by group or others,
// or belongs to another user than this process's: worth a warning, not a
// refusal (a backup tool may have changed its mode). False when it cannot
// be examined at all; loading reports that.
bool registry_exposed(const std::string& path);

// True only when the password matches and then the name matches exactly.
// Never fails: every problem is false. Costs one Argon2id hash unless the
// offered name or password is over its maximum length.
bool verify_credentials(const Credentials& credentials, std::string_view username,
                        std::string_view password);

// The username rule: 1-64 bytes of ASCII letters, digits, '-', '.', '_'.
bool is_valid_username(std::string_view username);

}  // namespace tovik::server
