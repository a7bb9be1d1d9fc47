// The space report: how the records of the current snapshot divide among
// warrens and dens, for an operator watching the fixed capacity fill up.
//
// Each record counts its full size in the slot (the record prefix, key and
// value). A document counts toward its den and its warren; a catalog record
// (a warren's or a den's marker) toward its warren only. Dens of the warren
// "default" kept under plain keys are reported in "default" like any other.
// A den that exists only as a marker is listed with no documents.
//
// Requires: exclusive use of the store for the call (the server's store
// lock). Reads every record once; writes nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <string>

#include "core/store.h"
#include "document/doc_error.h"

namespace tovik {

struct DenUsage {
  std::uint64_t documents = 0;
  std::uint64_t bytes = 0;
};

struct WarrenUsage {
  std::uint64_t bytes = 0;
  std::map<std::string, DenUsage> dens;  // ordered by name, bytewise
};

struct UsageReport {
  std::uint64_t capacity_bytes = 0;  // what one slot holds after its commit header
  std::uint64_t live_bytes = 0;
  std::uint64_t records = 0;
  std::map<std::string, WarrenUsage> warrens;  // ordered by name, bytewise
};

// A key of none of the document layer's forms is Corrupt, as in the check.
[[nodiscard]] std::expected<UsageReport, DocError> measure_usage(Store& store);

}  // namespace tovik
