// load_registry on any file contents. The bytes go to one scratch file under
// /dev/shm (memory-backed, so the loop is not paced by a disk), rewritten for
// every input. A registry that loads meets every rule the loader promises.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "server/credentials.h"

using tovik::fuzz::require;

namespace {

std::string g_path;

void remove_scratch() {
  if (!g_path.empty()) ::unlink(g_path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/dev/shm/tovik-fuzz-registry-XXXXXX";
  const int fd = ::mkstemp(name);
  require(fd >= 0, "a scratch file can be made");
  ::close(fd);
  g_path = name;
  std::atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    const int fd = ::open(g_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    require(fd >= 0, "the scratch file opens");
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd, data + done, size - done);
      require(n > 0, "the scratch file takes the input");
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }

  auto loaded = tovik::server::load_registry(g_path);
  if (!loaded) {
    require(loaded.error().kind == tovik::server::CredentialErrorKind::InvalidData,
            "a readable file is refused only as invalid data");
    require(loaded.error().text == tovik::server::kInvalidRegistry, "the refusal text is fixed");
    return 0;
  }
  require(size <= tovik::server::kMaxRegistryBytes, "an oversized registry is refused");
  require(tovik::server::is_valid_username(loaded->username), "the username meets the rule");
  require(loaded->hash.starts_with("$argon2id$v=19$m=19456,t=2,p=1$"),
          "only the fixed Argon2id settings load");
  // Over-long offers are refused before any hashing, whatever the registry.
  require(!tovik::server::verify_credentials(*loaded, loaded->username, std::string(1025, 'x')),
          "an over-long password never verifies");
  return 0;
}
