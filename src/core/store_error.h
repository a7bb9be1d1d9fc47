// StoreError: the storage engine's one error kind. Each variant has a fixed
// code (0-6) and a fixed text that users and clients see unchanged. Every
// operating-system failure below the engine collapses into Io.
#pragma once

#include <cstdint>
#include <string_view>

namespace tovik {

enum class StoreError : std::uint8_t {
  Io = 0,
  Corrupt = 1,
  Version = 2,
  Invalid = 3,
  Full = 4,
  Poisoned = 5,
  Ambiguous = 6,
};

// The display text of an error, e.g. "database corruption detected".
std::string_view store_error_text(StoreError error);

}  // namespace tovik
