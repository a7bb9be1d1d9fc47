// A listening socket on 127.0.0.1 at a port the system chose, in blocking
// mode, for test servers that accept on a thread of their own.
#pragma once

#include <cstdint>

#include <gtest/gtest.h>

#include "core/posix_file.h"
#include "server/server.h"

namespace tovik::testing {

struct LoopbackListener {
  UniqueFd fd;
  std::uint16_t port = 0;
};

inline LoopbackListener loopback_listener() {
  LoopbackListener out;
  auto listener = server::bind_listener(server::SocketAddress::v4(127, 0, 0, 1, 0));
  EXPECT_TRUE(listener.has_value());
  if (!listener) return out;
  EXPECT_TRUE(server::set_nonblocking(listener->get(), false).has_value());
  auto address = server::local_address(listener->get());
  EXPECT_TRUE(address.has_value());
  if (address) out.port = address->port;
  out.fd = std::move(*listener);
  return out;
}

}  // namespace tovik::testing
