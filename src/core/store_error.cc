#include "core/store_error.h"

namespace tovik {

std::string_view store_error_text(StoreError error) {
  switch (error) {
    case StoreError::Io:
      return "storage I/O or locking failure";
    case StoreError::Corrupt:
      return "database corruption detected";
    case StoreError::Version:
      return "unsupported file version";
    case StoreError::Invalid:
      return "invalid input or configuration";
    case StoreError::Full:
      return "configured database capacity exceeded";
    case StoreError::Poisoned:
      return "commit failed; close and reopen before further access";
    case StoreError::Ambiguous:
      return "invalid commit header: preserve file and inspect surviving snapshot";
  }
  return "storage I/O or locking failure";
}

}  // namespace tovik
