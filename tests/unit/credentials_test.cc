// The credential registry. Each Argon2id hash costs tens of milliseconds, so
// the hashes are made once per suite and reused; refusals of a registry are
// tested by editing the text of a good one, which needs no hashing.
#include "server/credentials.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <argon2.h>
#include <gtest/gtest.h>

#include "temp_dir.h"

namespace tovik::server {
namespace {

namespace fs = std::filesystem;

const std::string kPassword = "correct horse battery";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from << " not in " << text;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class CredentialsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto made = create_credentials("admin", kPassword);
    ASSERT_TRUE(made.has_value()) << made.error().text;
    admin_ = new Credentials(*made);
  }
  static void TearDownTestSuite() {
    delete admin_;
    admin_ = nullptr;
  }

  std::string path(const std::string& name = "db.tovik.auth") const { return (dir_ / name); }

  std::string registry_text(const std::string& username, const std::string& hash) const {
    return "{\"username\":\"" + username + "\",\"hash\":\"" + hash + "\"}";
  }

  // Writes text as a registry and loads it back.
  std::expected<Credentials, CredentialError> load_text(const std::string& text) {
    const std::string file = path("edited.auth");
    write_file(file, text);
    return load_registry(file);
  }

  void expect_refused(const std::string& text) {
    auto loaded = load_text(text);
    ASSERT_FALSE(loaded.has_value()) << text;
    EXPECT_EQ(loaded.error().kind, CredentialErrorKind::InvalidData);
    EXPECT_EQ(loaded.error().text, "invalid credential registry");
  }

  static Credentials* admin_;
  TempDir temp_{"tovik-credentials"};
  fs::path dir_ = temp_.path();
};

Credentials* CredentialsTest::admin_ = nullptr;

TEST(CredentialRules, RegistryPathAppendsAuth) {
  EXPECT_EQ(registry_path("/srv/db/instance.tovik"), "/srv/db/instance.tovik.auth");
  EXPECT_EQ(registry_path("db"), "db.auth");
}

TEST(CredentialRules, BadNamesAndPasswordLengthsAreRefusedBeforeHashing) {
  const std::string ok_password(12, 'p');
  const std::string bad_names[] = {"",    std::string(65, 'a'),  "ad min", "\xc3\xa9t\xc3\xa9",
                                   "a/b", std::string("a\0b", 3)};
  for (const auto& name : bad_names) {
    auto made = create_credentials(name, ok_password);
    ASSERT_FALSE(made.has_value()) << name;
    EXPECT_EQ(made.error().kind, CredentialErrorKind::InvalidInput);
    EXPECT_EQ(made.error().text,
              "username must be 1-64 simple characters; password must be 12-1024 bytes");
  }
  for (std::size_t length : {std::size_t{0}, std::size_t{11}, std::size_t{1'025}}) {
    auto made = create_credentials("admin", std::string(length, 'p'));
    ASSERT_FALSE(made.has_value()) << length;
    EXPECT_EQ(made.error().kind, CredentialErrorKind::InvalidInput);
  }
}

TEST(CredentialRules, LongestNameAndBothPasswordBoundsAreAccepted) {
  std::string name = "Az09-._";
  name += std::string(64 - name.size(), 'x');
  auto shortest = create_credentials(name, std::string(12, '\xff'));
  ASSERT_TRUE(shortest.has_value()) << shortest.error().text;
  EXPECT_EQ(shortest->username, name);
  auto longest = create_credentials("a", std::string(1'024, 'p'));
  ASSERT_TRUE(longest.has_value()) << longest.error().text;
  EXPECT_TRUE(verify_credentials(*longest, "a", std::string(1'024, 'p')));
}

TEST_F(CredentialsTest, HashIsAStandardPhcStringWithTheFixedSettings) {
  const std::string& hash = admin_->hash;
  const std::string prefix = "$argon2id$v=19$m=19456,t=2,p=1$";
  ASSERT_EQ(hash.substr(0, prefix.size()), prefix);
  const std::string rest = hash.substr(prefix.size());
  const auto dollar = rest.find('$');
  ASSERT_NE(dollar, std::string::npos);
  EXPECT_EQ(dollar, 22u);                    // 16-byte salt
  EXPECT_EQ(rest.size() - dollar - 1, 43u);  // 32-byte output
  // The reference library reads it back and agrees.
  EXPECT_EQ(argon2id_verify(hash.c_str(), kPassword.data(), kPassword.size()), ARGON2_OK);
}

TEST_F(CredentialsTest, FreshSaltMakesEachRegistryDifferentButBothVerify) {
  auto second = create_credentials("admin", kPassword);
  ASSERT_TRUE(second.has_value());
  EXPECT_NE(second->hash, admin_->hash);
  EXPECT_TRUE(verify_credentials(*second, "admin", kPassword));
  EXPECT_TRUE(verify_credentials(*admin_, "admin", kPassword));
}

TEST_F(CredentialsTest, VerificationRefusesWrongPasswordAndNameOfOtherCase) {
  EXPECT_FALSE(verify_credentials(*admin_, "admin", "correct horse battery!"));
  EXPECT_FALSE(verify_credentials(*admin_, "Admin", kPassword));
  EXPECT_FALSE(verify_credentials(*admin_, "", kPassword));
  EXPECT_FALSE(verify_credentials(Credentials{"admin", "not a phc string"}, "admin", kPassword));
}

TEST_F(CredentialsTest, OverlongNameOrPasswordFailsEvenWhenTheHashWouldMatch) {
  // A hash made outside the rules for a 2,000-byte password: only the length
  // gate can make verification say no.
  const std::string long_password(2'000, 'q');
  const std::array<unsigned char, 16> salt{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  std::array<char, 128> encoded{};
  ASSERT_EQ(argon2id_hash_encoded(2, 19'456, 1, long_password.data(), long_password.size(),
                                  salt.data(), salt.size(), 32, encoded.data(), encoded.size()),
            ARGON2_OK);
  EXPECT_FALSE(verify_credentials(Credentials{"admin", encoded.data()}, "admin", long_password));
  const std::string long_name(65, 'a');
  EXPECT_FALSE(verify_credentials(Credentials{long_name, admin_->hash}, long_name, kPassword));
}

TEST_F(CredentialsTest, WrittenRegistryIsCompactOrderedPrivateAndLoadsBack) {
  const std::string file = path();
  ASSERT_TRUE(write_registry(*admin_, file).has_value());
  EXPECT_EQ(read_file(file), registry_text("admin", admin_->hash));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto loaded = load_registry(file);
  ASSERT_TRUE(loaded.has_value()) << loaded.error().text;
  EXPECT_EQ(loaded->username, "admin");
  EXPECT_EQ(loaded->hash, admin_->hash);
}

TEST_F(CredentialsTest, WritingOverAnExistingRegistryFailsAndKeepsIt) {
  const std::string file = path();
  write_file(file, "keep me");
  auto written = write_registry(*admin_, file);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, CredentialErrorKind::Os);
  EXPECT_EQ(written.error().os_error, EEXIST);
  EXPECT_EQ(read_file(file), "keep me");
}

TEST_F(CredentialsTest, MissingRegistryIsTheSystemsError) {
  auto loaded = load_registry(path("absent.auth"));
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(loaded.error().kind, CredentialErrorKind::Os);
  EXPECT_EQ(loaded.error().os_error, ENOENT);
}

TEST_F(CredentialsTest, EveryFailingFileCallIsTheSystemsErrorAndLeavesNothingTrusted) {
  for (const char* call : {"create_exclusive", "write", "sync", "sync_directory"}) {
    FaultyFileSystem faulty(real_file_system(), call, 1, EIO);
    const std::string file = path(std::string(call) + ".auth");
    auto written = write_registry(*admin_, file, faulty);
    ASSERT_FALSE(written.has_value()) << call;
    EXPECT_EQ(written.error().os_error, EIO) << call;
  }
  ASSERT_TRUE(write_registry(*admin_, path()).has_value());
  for (const char* call : {"open_read", "read_at"}) {
    FaultyFileSystem faulty(real_file_system(), call, 1, EACCES);
    auto loaded = load_registry(path(), faulty);
    ASSERT_FALSE(loaded.has_value()) << call;
    EXPECT_EQ(loaded.error().os_error, EACCES) << call;
  }
}

TEST_F(CredentialsTest, OtherArgon2SettingsAreRefusedThoughWellFormed) {
  const std::string good = registry_text("admin", admin_->hash);
  ASSERT_TRUE(load_text(good).has_value());
  expect_refused(replace(good, "t=2", "t=3"));
  expect_refused(replace(good, "m=19456", "m=65536"));
  expect_refused(replace(good, "$argon2id$", "$argon2i$"));
  expect_refused(replace(good, "v=19", "v=16"));
  expect_refused(replace(good, "m=19456,t=2,p=1", "t=2,m=19456,p=1"));
  expect_refused(replace(good, "p=1", "p=1,k=2"));
}

TEST_F(CredentialsTest, MalformedHashesAreRefused) {
  const std::string good = registry_text("admin", admin_->hash);
  const std::string output = admin_->hash.substr(admin_->hash.rfind('$') + 1);
  expect_refused(replace(good, "$" + output, ""));                           // no output
  expect_refused(replace(good, output, output.substr(0, 42)));               // 31 bytes
  expect_refused(replace(good, output, output + "="));                       // padding
  expect_refused(replace(good, output, output.substr(0, 42) + "!"));         // not Base64
  expect_refused(replace(good, "$argon2id", "argon2id"));                    // no leading $
  expect_refused(registry_text("admin", "$argon2id$v=19$m=19456,t=2,p=1"));  // no salt
}

TEST_F(CredentialsTest, RegistryMustBeTheClosedTwoKeyObjectOrPair) {
  const std::string& hash = admin_->hash;
  auto pair = load_text("[\"admin\",\"" + hash + "\"]");
  ASSERT_TRUE(pair.has_value());
  EXPECT_EQ(pair->username, "admin");
  // Key order in the file does not matter to the reader.
  EXPECT_TRUE(load_text("{\"hash\":\"" + hash + "\",\"username\":\"admin\"}").has_value());

  expect_refused("{\"username\":\"admin\",\"hash\":\"" + hash + "\",\"role\":\"x\"}");
  expect_refused("{\"username\":\"admin\",\"username\":\"root\",\"hash\":\"" + hash + "\"}");
  expect_refused("{\"username\":\"admin\"}");
  expect_refused("{\"username\":1,\"hash\":\"" + hash + "\"}");
  expect_refused(registry_text("admin", hash) + "x");
  expect_refused("[\"admin\",\"" + hash + "\",\"extra\"]");
  expect_refused(registry_text("ad min", hash));
  expect_refused(registry_text("", hash));
  expect_refused("");
}

TEST_F(CredentialsTest, RegistryOf4096BytesLoadsAndOf4097IsRefused) {
  const std::string good = registry_text("admin", admin_->hash);
  const std::string padded = good + std::string(4'096 - good.size(), ' ');
  ASSERT_EQ(padded.size(), 4'096u);
  EXPECT_TRUE(load_text(padded).has_value());
  expect_refused(padded + " ");
}

}  // namespace
}  // namespace tovik::server
