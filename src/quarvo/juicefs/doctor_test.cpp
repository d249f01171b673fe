#include "quarvo/juicefs/doctor.hpp"

#include <gtest/gtest.h>

#include <set>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using Opt = std::optional<std::string>;

class DoctorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.unset("QUARVO_STORAGE_BACKEND_BIN");
    env_.unset("QUARVO_JUICEFS_BIN");
    env_.set("PATH", (dir_ / "path").string());
  }

  fs::path file(const fs::path& relative, const std::string& body = "#!/bin/sh\n") {
    const fs::path path = dir_ / relative;
    fs::create_directories(path.parent_path());
    testing::spit(path, body);
    fs::permissions(path, fs::perms(0755));
    return path;
  }

  testing::TempDir tmp_;
  const fs::path dir_ = tmp_.path();
  testing::ScopedEnv env_;
};

TEST_F(DoctorTest, ResolutionOrder) {
  const QuarvoHome home(dir_ / "home");
  const fs::path env_bin = file("env-bin"), jfs_bin = file("jfs-bin"), configured = file("configured");
  const fs::path managed = file("home/bin/quarvo-storage"), legacy = file("home/bin/juicefs");
  const fs::path on_path = file("path/juicefs");
  fs::create_directories(dir_ / "dir");
  const struct {
    const char* label;
    Opt backend_env, juicefs_env;
    std::optional<fs::path> configured, remove, expected;
  } cases[] = {
      // removals accumulate, in order
      {"backend env first", env_bin.string(), jfs_bin.string(), configured, {}, env_bin},
      {"missing falls through", (dir_ / "missing").string(), jfs_bin.string(), configured, {}, jfs_bin},
      {"empty, directory fall through", "", (dir_ / "dir").string(), configured, {}, configured},
      {"configured directory skipped", {}, {}, dir_ / "dir", {}, managed},
      {"legacy after managed", {}, {}, {}, managed, legacy},
      {"PATH last", {}, {}, {}, legacy, on_path},
      {"nothing", {}, {}, {}, on_path, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    env_.set("QUARVO_STORAGE_BACKEND_BIN", c.backend_env);
    env_.set("QUARVO_JUICEFS_BIN", c.juicefs_env);
    if (c.remove) fs::remove(*c.remove);
    EXPECT_EQ(detect_storage_backend_bin(home, c.configured), c.expected);
  }
}

TEST_F(DoctorTest, PathWithEmptyEntryTriesWorkingDirectory) {
  fs::create_directories(dir_ / "first");
  file("second/tool");
  file("cwd/tool");
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir_ / "cwd");
  env_.set("PATH", (dir_ / "first").string() + "::" + (dir_ / "second").string());
  EXPECT_EQ(which_on_path("tool"), fs::path("tool"));  // the bare name, between the two
  fs::remove(dir_ / "cwd" / "tool");
  fs::create_directories(dir_ / "first" / "tool");  // a directory is no program
  EXPECT_EQ(which_on_path("tool"), dir_ / "second" / "tool");
  fs::current_path(old_cwd);
}

TEST(Doctor, ExtractVersion) {
  const std::pair<const char*, const char*> versions[] = {
      {"juicefs version 1.2.3+2024-01-01.abcdef\n", "1.2.3"},
      {"dev", "dev"},
      {"\xE3\x80\x80 v.x 2.0\xC2\xA0", "2.0"},  // U+3000 and U+00A0 are white space
  };
  for (const auto& [output, version] : versions) EXPECT_EQ(extract_version(output), version) << output;
}

TEST_F(DoctorTest, Report) {
  const QuarvoHome home(dir_ / "home");
  const struct {
    const char* program;
    std::string body;
    Opt version;
    bool managed;
  } cases[] = {
      {"home/bin/quarvo-storage", "#!/bin/sh\necho 'juicefs version 1.2.3+2024-01-01.abcdef'\n", "1.2.3", true},
      {"home/bin/juicefs", "#!/bin/sh\necho 'release-1.1'; echo 9.9 >&2\n", "1.1", false},
      {"home/bin/juicefs", "#!/bin/sh\necho 1.0; exit 1\n", std::nullopt, false},
      {"home/bin/juicefs", "#!/bin/sh\necho '  '\n", std::nullopt, false},  // tells nothing: not usable
      {"home/bin/juicefs", "not a program\n", std::nullopt, false},
      {nullptr, "", std::nullopt, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    fs::remove_all(dir_ / "home");
    const std::optional<fs::path> program = c.program ? std::optional(file(c.program, c.body)) : std::nullopt;
    auto report = doctor(home);
    ASSERT_TRUE(report) << report.error().message();
    EXPECT_EQ(report->storage_backend.path, program);
    EXPECT_EQ(report->storage_backend.version, c.version);
    EXPECT_EQ(report->storage_backend.managed, c.managed);
  }
}

using Names = std::set<std::string, std::less<>>;

TEST(Doctor, MountSupportMacos) {
  const std::string bundle = "/Library/Filesystems/macfuse.fs";
  const std::pair<Names, Names> found[] = {{{bundle + "/Contents/Resources/mount_macfuse"}, {}},
                                           {{bundle}, {}},  // bundle without its helper
                                           {{}, {"mount_fusefs"}},
                                           {{}, {"fusermount3"}}};  // Linux's helper: not found
  for (const auto& [files, programs] : found) {
    const MountSupport s = detect_mount_support_macos([&](const fs::path& p) { return files.contains(p.string()); },
                                                      [&](std::string_view n) { return programs.contains(n); });
    EXPECT_EQ(s.found, !programs.contains("fusermount3"));
    EXPECT_EQ(s.detail + "|" + s.fix.value_or("-"),
              s.found ? "macOS mount helper found|-"
                      : "macOS mount helper was not found|Install macOS FUSE-compatible mount support, then rerun "
                        "`quarvo doctor`.");
  }
}

TEST(Doctor, MountSupportLinux) {
  const std::string found = "FUSE device /dev/fuse found|-";
  const struct {
    bool device, root;
    Names programs;
    std::string expected;  // detail|fix
  } cases[] = {
      {true, true, {}, found},
      {true, false, {"fusermount3"}, found},
      {true,
       false,
       {"mount_macfuse"},
       "fusermount3 was not found on PATH|Install the fuse3 package, then rerun `quarvo doctor`."},
      {false,
       true,
       {"fusermount3"},
       "FUSE device /dev/fuse was not found|Install FUSE (for example the fuse3 package) and load the fuse kernel "
       "module, then rerun `quarvo doctor`."},
  };
  for (const auto& c : cases) {
    const MountSupport s =
        detect_mount_support_linux(c.device, c.root, [&](std::string_view n) { return c.programs.contains(n); });
    EXPECT_EQ(s.found, c.expected == found);
    EXPECT_EQ(s.detail + "|" + s.fix.value_or("-"), c.expected) << c.device << c.root;
  }
}

}  // namespace
}  // namespace quarvo
