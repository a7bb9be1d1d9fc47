// Provisioning: init (create a database, and for the default data file its
// administrator) and setup (write the credential registry of an existing
// database). The actions themselves are declared in commands.h; this header
// holds what they share with serve and with tests.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "cli/failure.h"
#include "core/file_system.h"
#include "core/store.h"

namespace tovik::cli {

// The store configuration of every offline open and of init and setup.
inline constexpr StoreConfig kOfflineStoreConfig{};

// init --capacity: the slot size of the new file (which is twice as long),
// in bytes or with a KiB, MiB or GiB suffix.
inline constexpr std::uint64_t kMinCapacity = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kMaxCapacity = std::uint64_t{4} << 30;
inline constexpr std::uint64_t kCapacityStep = 4096;
inline constexpr std::string_view kCapacityRefused =
    "capacity must be 1 MiB to 4 GiB in steps of 4 KiB";
// The capacity SIZE names, or the kCapacityRefused failure.
[[nodiscard]] std::expected<std::uint64_t, Failure> parse_capacity(std::string_view text);

// mkdir -p: every missing directory of dir, mode 0777 before the umask; the
// failure is the system's error (ENOTDIR when a file stands at dir).
[[nodiscard]] Outcome create_directories(const std::string& dir,
                                         FileSystem& fs = real_file_system());

inline constexpr std::string_view kNewPasswordPrompt =
    "New administrator password (12-1024 bytes): ";
inline constexpr std::string_view kConfirmPasswordPrompt = "Confirm password: ";

}  // namespace tovik::cli
