// RAII file descriptor and the storage engine's file seam.
//
// CONTRACT: UniqueFd's interface below is fixed (other layers use it for
// files and sockets). FileIo is the one seam through which the Store does
// its positioned I/O, syncs and size changes, so tests can record or fail
// individual calls; the owner of src/core defines its members.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <utility>

namespace tovik {

// Owns one descriptor; closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

class FileIo;  // defined below by the storage engine's owner

}  // namespace tovik
