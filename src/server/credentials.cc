// Credential registry: layout of the file and of its hash.
//
//   file  = {"username":"<name>","hash":"<phc>"}    compact, no newline, <= 4,096 bytes
//   phc   = $argon2id$v=19$m=19456,t=2,p=1$<salt>$<output>
//           salt:   16 random bytes, unpadded standard Base64 (22 characters)
//           output: 32 bytes, unpadded standard Base64 (43 characters)
//
// The settings are fixed: a registry carrying any others is refused, so a
// tampered file cannot make the server spend more memory or time per login,
// nor weaken the hash.
#include "server/credentials.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <argon2.h>

#include "core/posix_file.h"
#include "document/json.h"

namespace tovik::server {
namespace {

constexpr std::uint32_t kTimeCost = 2;
constexpr std::uint32_t kMemoryCostKib = 19'456;
constexpr std::uint32_t kParallelism = 1;
constexpr std::uint32_t kVersion = 19;  // 0x13
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kOutputBytes = 32;
// "$argon2id$v=19$m=19456,t=2,p=1$" (31) + 22 + "$" + 43, with room to spare.
constexpr std::size_t kEncodedCapacity = 128;

CredentialError error_of(CredentialErrorKind kind, std::string_view text) {
  return CredentialError{kind, 0, std::string(text)};
}

CredentialError os_error(int error_number) {
  return CredentialError{CredentialErrorKind::Os, error_number, std::strerror(error_number)};
}

CredentialError invalid_registry() {
  return error_of(CredentialErrorKind::InvalidData, kInvalidRegistry);
}

// ---------------------------------------------------------------------------
// Random salt.

// getrandom may be missing (old kernels) or forbidden (seccomp); only then is
// the device used, and only once the kernel pool has been initialised, which
// /dev/random signals by becoming readable.
bool read_urandom(std::span<unsigned char> out) {
  UniqueFd random(::open("/dev/random", O_RDONLY | O_CLOEXEC));
  if (!random) return false;
  pollfd pfd{random.get(), POLLIN, 0};
  for (;;) {
    const int rc = ::poll(&pfd, 1, -1);
    if (rc > 0) break;
    if (rc < 0 && errno != EINTR) return false;
  }
  UniqueFd urandom(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!urandom) return false;
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t n = ::read(urandom.get(), out.data() + filled, out.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    filled += static_cast<std::size_t>(n);
  }
  return true;
}

bool fill_random(std::span<unsigned char> out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t n = ::getrandom(out.data() + filled, out.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS || errno == EPERM) return read_urandom(out);
      return false;
    }
    filled += static_cast<std::size_t>(n);
  }
  return true;
}

// ---------------------------------------------------------------------------
// PHC string.

constexpr std::string_view kB64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int b64_value(char c) {
  const auto pos = kB64Alphabet.find(c);
  return pos == std::string_view::npos ? -1 : static_cast<int>(pos);
}

// Unpadded standard Base64; a length that cannot come from whole bytes, or
// leftover bits that are not zero, is not a canonical encoding and is refused.
std::optional<std::vector<unsigned char>> b64_decode(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::vector<unsigned char> out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    const int v = b64_value(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>((acc >> bits) & 0xFF));
    }
  }
  if ((acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

struct Phc {
  std::string algorithm;
  std::optional<std::uint64_t> version;
  std::vector<std::pair<std::string, std::string>> params;
  std::vector<unsigned char> salt;
  std::vector<unsigned char> output;
  bool has_salt = false;
  bool has_output = false;
};

bool is_phc_symbol(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  if (text.size() > 1 && text.front() == '0') return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const auto at = text.find(sep, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

// $<id>[$v=<version>][$<param>=<value>(,<param>=<value>)*][$<salt>[$<output>]]
std::optional<Phc> parse_phc(std::string_view text) {
  if (text.empty() || text.front() != '$') return std::nullopt;
  const auto fields = split(text.substr(1), '$');
  Phc phc;
  std::size_t i = 0;
  const std::string_view id = fields[i++];
  if (id.empty() || id.size() > 32) return std::nullopt;
  for (char c : id) {
    if (!is_phc_symbol(c)) return std::nullopt;
  }
  phc.algorithm = std::string(id);
  if (i < fields.size() && fields[i].starts_with("v=")) {
    phc.version = parse_decimal(fields[i].substr(2));
    if (!phc.version) return std::nullopt;
    ++i;
  }
  if (i < fields.size() && fields[i].find('=') != std::string_view::npos) {
    for (std::string_view pair : split(fields[i], ',')) {
      const auto eq = pair.find('=');
      if (eq == std::string_view::npos || eq == 0) return std::nullopt;
      const std::string_view name = pair.substr(0, eq);
      const std::string_view value = pair.substr(eq + 1);
      for (char c : name) {
        if (!is_phc_symbol(c)) return std::nullopt;
      }
      if (value.empty()) return std::nullopt;
      for (const auto& [seen, _] : phc.params) {
        if (seen == name) return std::nullopt;
      }
      phc.params.emplace_back(std::string(name), std::string(value));
    }
    ++i;
  }
  if (i < fields.size()) {
    auto salt = b64_decode(fields[i++]);
    if (!salt || salt->empty()) return std::nullopt;
    phc.salt = std::move(*salt);
    phc.has_salt = true;
  }
  if (i < fields.size()) {
    auto output = b64_decode(fields[i++]);
    if (!output || output->empty()) return std::nullopt;
    phc.output = std::move(*output);
    phc.has_output = true;
  }
  if (i != fields.size()) return std::nullopt;
  return phc;
}

// Exactly the settings this system writes; anything else was not made here.
bool has_fixed_settings(const Phc& phc) {
  if (phc.algorithm != "argon2id" || phc.version != kVersion) return false;
  if (phc.params.size() != 3) return false;
  const std::pair<std::string_view, std::string_view> expected[] = {
      {"m", "19456"}, {"t", "2"}, {"p", "1"}};
  for (std::size_t k = 0; k < 3; ++k) {
    if (phc.params[k].first != expected[k].first || phc.params[k].second != expected[k].second) {
      return false;
    }
  }
  return phc.has_salt && phc.has_output && phc.output.size() == kOutputBytes;
}

// ---------------------------------------------------------------------------
// Registry file.

// A closed object of two strings, or the two strings as an array in order.
// A repeated key is refused rather than letting the last one win.
std::optional<Credentials> parse_registry_json(std::string_view text) {
  JsonParseOptions options;
  options.reject_duplicate_keys = true;
  auto parsed = parse_json(text, options);
  if (!parsed) return std::nullopt;
  const Json& doc = *parsed;
  if (doc.is_object()) {
    if (doc.size() != 2) return std::nullopt;
    const auto name = doc.find("username");
    const auto hash = doc.find("hash");
    if (name == doc.end() || hash == doc.end()) return std::nullopt;
    if (!name->is_string() || !hash->is_string()) return std::nullopt;
    return Credentials{name->get<std::string>(), hash->get<std::string>()};
  }
  if (doc.is_array()) {
    if (doc.size() != 2 || !doc[0].is_string() || !doc[1].is_string()) return std::nullopt;
    return Credentials{doc[0].get<std::string>(), doc[1].get<std::string>()};
  }
  return std::nullopt;
}

}  // namespace

bool is_valid_username(std::string_view username) {
  if (username.empty() || username.size() > kMaxUsernameBytes) return false;
  for (char c : username) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string registry_path(std::string_view database_path) {
  return std::string(database_path) + ".auth";
}

std::expected<Credentials, CredentialError> create_credentials(std::string_view username,
                                                               std::string_view password) {
  if (!is_valid_username(username) || password.size() < kMinPasswordBytes ||
      password.size() > kMaxPasswordBytes) {
    return std::unexpected(error_of(CredentialErrorKind::InvalidInput, kBadCredentialInput));
  }
  std::array<unsigned char, kSaltBytes> salt{};
  if (!fill_random(salt)) {
    return std::unexpected(error_of(CredentialErrorKind::Other, kNoRandomSource));
  }
  std::array<char, kEncodedCapacity> encoded{};
  const int rc = ::argon2_hash(kTimeCost, kMemoryCostKib, kParallelism, password.data(),
                               password.size(), salt.data(), salt.size(), nullptr, kOutputBytes,
                               encoded.data(), encoded.size(), Argon2_id, ARGON2_VERSION_13);
  if (rc != ARGON2_OK) return std::unexpected(invalid_registry());
  return Credentials{std::string(username), std::string(encoded.data())};
}

std::expected<void, CredentialError> write_registry(const Credentials& credentials,
                                                    const std::string& path, FileSystem& fs) {
  // Built by hand to keep the key order; dump_compact supplies the escapes.
  const auto quote = [](const std::string& s) { return dump_compact(Json(s)); };
  const std::string body =
      "{\"username\":" + quote(credentials.username) + ",\"hash\":" + quote(credentials.hash) + "}";

  auto file = fs.create_exclusive(path);
  if (!file) return std::unexpected(os_error(file.error()));
  for (std::size_t written = 0; written < body.size();) {
    auto n = fs.write(file->get(), std::as_bytes(std::span(body).subspan(written)));
    if (!n) return std::unexpected(os_error(n.error()));
    if (*n == 0) return std::unexpected(error_of(CredentialErrorKind::WriteZero, kWriteZeroText));
    written += *n;
  }
  if (auto synced = fs.sync(file->get()); !synced) return std::unexpected(os_error(synced.error()));
  if (auto synced = fs.sync_directory(parent_directory(path)); !synced) {
    return std::unexpected(os_error(synced.error()));
  }
  return {};
}

std::expected<Credentials, CredentialError> load_registry(const std::string& path, FileSystem& fs) {
  auto file = fs.open_read(path);
  // A name too long to be a file name is a file that cannot exist.
  if (!file) return std::unexpected(os_error(file.error() == ENAMETOOLONG ? ENOENT : file.error()));
  std::string bytes(kMaxRegistryBytes + 1, '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    auto n = fs.read_at(file->get(), std::as_writable_bytes(std::span(bytes).subspan(got)), got);
    if (!n) return std::unexpected(os_error(n.error()));
    if (*n == 0) break;
    got += *n;
  }
  if (got > kMaxRegistryBytes) return std::unexpected(invalid_registry());
  bytes.resize(got);

  auto credentials = parse_registry_json(bytes);
  if (!credentials) return std::unexpected(invalid_registry());
  const auto phc = parse_phc(credentials->hash);
  if (!phc) return std::unexpected(invalid_registry());
  if (!is_valid_username(credentials->username)) return std::unexpected(invalid_registry());
  if (!has_fixed_settings(*phc)) return std::unexpected(invalid_registry());
  return std::move(*credentials);
}

bool registry_exposed(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  return (st.st_mode & (S_IRWXG | S_IRWXO)) != 0 || st.st_uid != ::geteuid();
}

bool verify_credentials(const Credentials& credentials, std::string_view username,
                        std::string_view password) {
  if (username.size() > kMaxUsernameBytes || password.size() > kMaxPasswordBytes) return false;
  const auto phc = parse_phc(credentials.hash);
  // Credentials normally come from load_registry, which already insists on
  // these settings; checking again keeps a hand-built record from choosing
  // the cost of every login.
  if (!phc || !has_fixed_settings(*phc)) return false;

  std::array<unsigned char, kOutputBytes> computed{};
  const int rc = ::argon2_hash(kTimeCost, kMemoryCostKib, kParallelism, password.data(),
                               password.size(), phc->salt.data(), phc->salt.size(), computed.data(),
                               computed.size(), nullptr, 0, Argon2_id, ARGON2_VERSION_13);
  if (rc != ARGON2_OK) return false;
  // Every byte is compared so the time taken does not reveal where the first
  // difference lies.
  unsigned char difference = 0;
  for (std::size_t k = 0; k < kOutputBytes; ++k) difference |= computed[k] ^ phc->output[k];
  if (difference != 0) return false;
  return username == credentials.username;
}

}  // namespace tovik::server
