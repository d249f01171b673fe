#include "quarvo/core/registry.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

using testing::slurp;
using testing::spit;
using testing::TempDir;

Volume volume(std::string name) {
  return Volume{name,   "juicefs", "sqlite3:///m/" + name + ".db", "file", "/objects/" + name, true,
                std::nullopt, "2026-12-05T07:08:06Z", "2026-12-05T07:08:06Z"};
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { old_umask_ = ::umask(022); }
  void TearDown() override { ::umask(old_umask_); }
  TempDir dir_;
  QuarvoHome home_{dir_.path() / "home"};
  Registry registry_{home_};
  mode_t old_umask_ = 0;
};

TEST_F(RegistryTest, WritesPrivateRecordsThatReadBack) {
  EXPECT_EQ(registry_.read("data").error().message(), "volume \"data\" does not exist");
  EXPECT_FALSE(*registry_.exists("data"));

  Volume v = volume("data");
  // A leftover from an interrupted write is replaced, not appended to.
  ASSERT_TRUE(home_.ensure_layout());
  spit(home_.volume_path("data").string() + ".tmp", std::string(10000, '#'));
  ASSERT_TRUE(registry_.write(v));
  v.mountpoint = "/mnt/data";
  ASSERT_TRUE(registry_.write(v));
  EXPECT_TRUE(*registry_.exists("data"));
  EXPECT_EQ(*registry_.read("data"), v);
  EXPECT_FALSE(std::filesystem::exists(home_.volume_path("data").string() + ".tmp"));
  struct stat st {};
  ASSERT_EQ(::stat(home_.volume_path("data").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // metadata URLs may hold passwords

  v.mountpoint = std::filesystem::path("/mnt/\xff");
  EXPECT_EQ(registry_.write(v).error().kind(), ErrorKind::TomlWrite);
  EXPECT_FALSE(std::filesystem::exists(home_.volume_path("data").string() + ".tmp"));
}

TEST_F(RegistryTest, ListsRecordsByNameBytesSkippingOtherFiles) {
  auto empty = registry_.list();
  ASSERT_TRUE(empty) << empty.error().message();
  EXPECT_TRUE(empty->empty());
  EXPECT_TRUE(std::filesystem::is_directory(home_.dev_dir()));

  for (const char* name : {"b", "a", "B", "a.b"}) ASSERT_TRUE(registry_.write(volume(name)));
  spit(home_.volumes_dir() / "NOTES.txt", "not a record");
  spit(home_.volumes_dir() / "c.toml.tmp", "half a rec");
  spit(home_.volumes_dir() / "d.TOML", "wrong case");
  std::filesystem::create_directory(home_.volumes_dir() / "sub");
  auto listed = registry_.list();
  ASSERT_TRUE(listed) << listed.error().message();
  std::vector<std::string> names;
  for (const auto& v : *listed) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "a.b", "b"}));
}

TEST_F(RegistryTest, OneBadRecordFailsTheWholeListing) {
  const std::pair<std::string, std::string> cases[] = {
      {"c.toml", "TOML parse error at line 1, column 1\n  |\n1 | name = \"c\"\n  | ^\nmissing field `dev`"},
      {"d.toml", "I/O error at " + (home_.volumes_dir() / "d.toml").string() + ": Is a directory (os error 21)"},
  };
  ASSERT_TRUE(registry_.write(volume("a")));
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(file);
    const auto path = home_.volumes_dir() / file;
    if (file == "c.toml") {
      spit(path, "name = \"c\"\nbackend = \"juicefs\"\nmetadata_url = \"m\"\nstorage = \"file\"\nbucket = \"b\"\n"
                 "created_at = \"t\"\nupdated_at = \"t\"\n");
    } else {
      std::filesystem::create_directory(path);
    }
    auto listed = registry_.list();
    ASSERT_FALSE(listed);
    EXPECT_EQ(listed.error().message(), message);
    std::filesystem::remove_all(path);
  }
}

// A rename onto a mount point fails with EBUSY, which root cannot bypass.
// The bind mount lives in a private mount namespace of a child process.
TEST_F(RegistryTest, FailedRenameKeepsTheOldRecordAndTheNewText) {
  const Volume old_record = volume("data");
  ASSERT_TRUE(registry_.write(old_record));
  Volume next = old_record;
  next.bucket = "/objects/moved";
  const auto record = home_.volume_path("data");
  const auto decoy = dir_.path() / "decoy";
  spit(decoy, "decoy");

  const int code = testing::in_child([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(decoy.c_str(), record.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return 77;
    }
    auto r = registry_.write(next);
    return !r && r.error().message() == "I/O error at " + record.string() + ": Device or resource busy (os error 16)"
               ? 0
               : 1;
  });
  if (code == 77) GTEST_SKIP() << "the kernel refused a private mount namespace";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(slurp(record.string() + ".tmp"), *volume_to_toml(next));
  EXPECT_EQ(*registry_.read("data"), old_record);
}

// After the rename the directory is synced, so that the new name survives a
// power cut. No real file system refuses that, so a seccomp filter in a child
// fails every openat of a directory with EIO; a write must then report the
// directory, with the record already in place.
TEST_F(RegistryTest, DirectorySyncFailureNamesTheDirectory) {
#ifndef __x86_64__
  GTEST_SKIP() << "the seccomp filter below is written for x86-64";
#endif
  ASSERT_TRUE(home_.ensure_layout());
  const int code = testing::in_child([&] {
    constexpr auto kArgFlags = offsetof(seccomp_data, args) + 2 * sizeof(__u64);  // low half, little-endian
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kArgFlags),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
      return 77;
    }
    auto r = registry_.write(volume("data"));
    return !r && r.error().message() ==
                     "I/O error at " + home_.volumes_dir().string() + ": Input/output error (os error 5)"
               ? 0
               : 1;
  });
  if (code == 77) GTEST_SKIP() << "seccomp filters are not available";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(*registry_.read("data"), volume("data"));
}

TEST_F(RegistryTest, LockSerialisesProcesses) {
  const auto log = dir_.path() / "log";
  const auto append = [&](const std::string& line) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (fd >= 0) ::close(fd);
    return ok;
  };
  constexpr int kChildren = 4;
  std::vector<pid_t> children;
  for (int i = 0; i < kChildren; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      auto lock = registry_.lock();
      const std::string me = std::to_string(::getpid());
      ::_exit(lock && append("enter " + me + "\n") && ::usleep(50000) == 0 && append("leave " + me + "\n") ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) EXPECT_EQ(testing::wait_exit_code(pid), 0);
  std::istringstream lines(slurp(log));
  int holders = 0;
  for (std::string enter, leave; std::getline(lines, enter) && std::getline(lines, leave); ++holders) {
    EXPECT_EQ(leave, "leave " + enter.substr(6)) << "another process entered while " << enter << " held the lock";
  }
  EXPECT_EQ(holders, kChildren);
}

// What a child program has open, as readlink shows it from inside.
std::string open_files_of_a_child() {
  std::string out;
  if (FILE* p = ::popen("readlink /proc/self/fd/* 2>/dev/null", "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

TEST_F(RegistryTest, LockDescriptorNeverReachesAChildProgram) {
  auto lock = registry_.lock();
  ASSERT_TRUE(lock) << lock.error().message();
  const std::string lock_path = std::filesystem::canonical(home_.lock_path()).string();
  {
    // The probe sees an inherited descriptor when there is one.
    const int inherited = ::open(lock_path.c_str(), O_RDONLY);
    ASSERT_GE(inherited, 0);
    EXPECT_NE(open_files_of_a_child().find(lock_path), std::string::npos);
    ::close(inherited);
  }
  EXPECT_EQ(open_files_of_a_child().find(lock_path), std::string::npos);
}

}  // namespace
}  // namespace quarvo
