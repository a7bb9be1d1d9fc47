// Property checks inside fuzz targets. A broken property is a defect like a
// sanitizer report: print what broke, then abort, so the engine keeps the
// input as a reproducer.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace tovik::fuzz {

inline void require(bool holds, std::string_view what) {
  if (holds) return;
  std::fprintf(stderr, "==fuzz check== property broken: %.*s\n", static_cast<int>(what.size()),
               what.data());
  std::abort();
}

inline std::string_view as_text(const unsigned char* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace tovik::fuzz
