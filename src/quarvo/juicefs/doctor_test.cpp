#include "quarvo/juicefs/doctor.hpp"

#include <gtest/gtest.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using Opt = std::optional<std::string>;

class DoctorTest : public ::testing::Test {
 protected:
  // An executable program at `relative`.
  fs::path file(const fs::path& relative) { return testing::script(dir_ / relative, ""); }

  testing::TempDir tmp_;
  const fs::path dir_ = tmp_.path();
  testing::ScopedEnv env_;
};

// The first usable of: QUARVO_STORAGE_BACKEND_BIN, QUARVO_JUICEFS_BIN, the
// configured path, the managed program, the older managed name, PATH (where
// an empty entry is the working directory and a directory is no program).
TEST_F(DoctorTest, ResolutionOrder) {
  const QuarvoHome home(dir_ / "home");
  const fs::path env_bin = file("env-bin"), jfs_bin = file("jfs-bin"), configured = file("configured");
  const fs::path managed = file("home/bin/quarvo-storage"), legacy = file("home/bin/juicefs");
  const fs::path in_cwd = file("cwd/juicefs"), on_path = file("path/juicefs");
  fs::create_directories(dir_ / "first" / "juicefs");
  env_.set("PATH", (dir_ / "first").string() + "::" + (dir_ / "path").string());
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_ / "cwd");
  const struct {
    const char* label;
    Opt backend_env, juicefs_env;
    std::optional<fs::path> configured, remove, expected;
  } cases[] = {
      // removals accumulate, in order
      {"backend env first", env_bin.string(), jfs_bin.string(), configured, {}, env_bin},
      {"missing falls through", (dir_ / "missing").string(), jfs_bin.string(), configured, {}, jfs_bin},
      {"empty, directory fall through", "", (dir_ / "first").string(), configured, {}, configured},
      {"configured directory skipped", {}, {}, dir_ / "first", {}, managed},
      {"legacy after managed", {}, {}, {}, managed, legacy},
      {"PATH's empty entry: the bare name", {}, {}, {}, legacy, fs::path("juicefs")},
      {"PATH's next entry", {}, {}, {}, in_cwd, on_path},
      {"nothing", {}, {}, {}, on_path, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    env_.set("QUARVO_STORAGE_BACKEND_BIN", c.backend_env);
    env_.set("QUARVO_JUICEFS_BIN", c.juicefs_env);
    if (c.remove) fs::remove(*c.remove);
    EXPECT_EQ(detect_storage_backend_bin(home, c.configured), c.expected);
  }
  fs::current_path(cwd);
}

// What `program version` prints on its standard output, its version number
// or else all of it; nothing when it fails or prints only white space.
TEST_F(DoctorTest, StorageBackendVersion) {
  const std::pair<const char*, Opt> cases[] = {
      {"echo 'juicefs version 1.2.3+2024-01-01.abcdef'", "1.2.3"},
      {"echo 'release-1.1'; echo 9.9 >&2", "1.1"},
      {"echo dev", "dev"},
      {"printf '\\343\\200\\200 v.x 2.0\\302\\240'", "2.0"},  // U+3000 and U+00A0 are white space
      {"echo 1.0; exit 1", std::nullopt},
      {"echo '  '", std::nullopt},
  };
  for (const auto& [body, version] : cases) {
    EXPECT_EQ(storage_backend_version(testing::script(dir_ / "backend", body), testing::no_limits()), version) << body;
  }
}

// A program another user could have changed is never run: resolving it for
// the service is UnsafePath, the doctor reports it found and unasked. A
// group may write a program from elsewhere, not the home's own.
TEST_F(DoctorTest, AProgramOthersCouldChangeIsNotRun) {
  const QuarvoHome home(dir_ / "home");
  const fs::path ran = dir_ / "ran";
  const fs::path program = testing::script(dir_ / "juicefs", "touch " + ran.string() + "; echo 1.4.2");
  const fs::path managed = testing::script(home.managed_storage_backend_bin(), "echo 1.4.2");
  ASSERT_TRUE(home.ensure_layout());
  env_.set("QUARVO_STORAGE_BACKEND_BIN", program.string());
  const struct {
    fs::path path;
    mode_t mode;
    bool safe;
  } cases[] = {{program, 0775, true}, {program, 0757, false}, {managed, 0775, false}, {managed, 0755, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.string() + " " + std::to_string(c.mode));
    if (c.path == managed) env_.set("QUARVO_STORAGE_BACKEND_BIN", std::nullopt);
    fs::permissions(c.path, static_cast<fs::perms>(c.mode));
    fs::remove(ran);
    auto resolved = trusted_storage_backend_bin(home, std::nullopt);
    EXPECT_EQ(resolved ? "" : std::string(kind_name(resolved.error().kind())), c.safe ? "" : "UnsafePath");
    auto diagnosis = diagnose(home, Cancel::never());
    ASSERT_TRUE(diagnosis);
    EXPECT_EQ(diagnosis->unsafe_backend.has_value(), !c.safe);
    EXPECT_EQ(diagnosis->report.storage_backend.version, c.safe ? Opt("1.4.2") : std::nullopt);
    EXPECT_EQ(fs::exists(ran), c.safe && c.path == program);
  }
}

// Linux wants /dev/fuse, and root or fusermount3 on PATH.
TEST(Doctor, MountSupportOnLinux) {
  const std::string found = "FUSE device /dev/fuse found";
  // The device, root, fusermount3 on PATH, then the finding.
  const std::tuple<bool, bool, bool, std::string> cases[] = {
      {true, true, false, found},
      {true, false, true, found},
      {true, false, false, "fusermount3 was not found on PATH"},
      {false, true, true, "FUSE device /dev/fuse was not found"}};
  for (const auto& [device, root, fusermount, detail] : cases) {
    const auto s = detect_mount_support_linux(device, root, [&](auto n) { return fusermount && n == "fusermount3"; });
    EXPECT_EQ(std::pair(s.found, s.detail), std::pair(detail == found, detail));
  }
}

}  // namespace
}  // namespace quarvo
