// Provisioning: init (create a database, and for the default data file its
// administrator) and setup (write the credential registry of an existing
// database). The actions themselves are declared in commands.h; this header
// holds what they share with serve and with tests.
#pragma once

#include <string_view>

#include "core/store.h"

namespace tovik::cli {

// The store configuration of every offline open and of init and setup.
inline constexpr StoreConfig kOfflineStoreConfig{};

inline constexpr std::string_view kNewPasswordPrompt =
    "New administrator password (12-1024 bytes): ";
inline constexpr std::string_view kConfirmPasswordPrompt = "Confirm password: ";

}  // namespace tovik::cli
