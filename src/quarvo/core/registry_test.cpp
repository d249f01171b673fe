#include "quarvo/core/registry.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <sstream>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

using testing::slurp;
using testing::spit;

Volume volume(std::string name) {
  return Volume{name, "juicefs", "sqlite3:///m.db", "file", "/objects", true, std::nullopt, "t", "t"};
}

class RegistryTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  QuarvoHome home_{dir_.path() / "home"};
  Registry registry_{home_};
};

TEST_F(RegistryTest, ListsRecordsByNameBytesAndOneBadRecordFailsTheListing) {
  for (const char* name : {"b", "a", "B"}) ASSERT_TRUE(registry_.write(volume(name)));
  spit(home_.volumes_dir() / "c.toml.tmp", "half a rec");
  auto listed = registry_.list();
  ASSERT_TRUE(listed) << listed.error().message();
  std::vector<std::string> names;
  for (const auto& v : *listed) names.push_back(v.name);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "b"}));

  spit(home_.volumes_dir() / "c.toml",
       "name = \"c\"\nbackend = \"juicefs\"\nmetadata_url = \"m\"\nstorage = \"file\"\n"
       "bucket = \"b\"\ncreated_at = \"t\"\nupdated_at = \"t\"\n");
  listed = registry_.list();
  ASSERT_FALSE(listed);
  EXPECT_EQ(listed.error().message(),
            "TOML parse error at line 1, column 1\n  |\n1 | name = \"c\"\n  | ^\nmissing field `dev`");
}

// Only NAME.toml files for a valid, visible NAME are records; whatever else
// lands in the directory is passed over, except a record-named entry that
// cannot be read as one, which fails the listing (and read) with its path
// and is read_each's entry with that error.
TEST_F(RegistryTest, ListingPassesOverWhatIsNotARecordAndFailsOnAnUnreadableRecord) {
  namespace fs = std::filesystem;
  const fs::path dir = home_.volumes_dir();
  const auto toml = [](const std::string& name) { return *volume_to_toml(volume(name)); };
  struct Case {
    const char* entry;
    std::function<void(const fs::path&)> make;
    const char* error;  // nullptr: not a listing failure
  };
  const Case cases[] = {
      {".hidden.toml", [&](const fs::path& p) { spit(p, toml(".hidden")); }, nullptr},
      {".#a.toml", [](const fs::path& p) { fs::create_symlink("root@host.4242:1700000000", p); }, nullptr},
      {"a.toml.tmp", [&](const fs::path& p) { spit(p, toml("a")); }, nullptr},
      {"bad name.toml", [&](const fs::path& p) { spit(p, toml("bad")); }, nullptr},
      {".toml", [&](const fs::path& p) { spit(p, toml("x")); }, nullptr},
      {"NOTES.txt", [](const fs::path& p) { spit(p, "notes"); }, nullptr},
      {"dangling.toml", [](const fs::path& p) { fs::create_symlink("nowhere/at/all", p); }, nullptr},
      {"loop.toml", [](const fs::path& p) { fs::create_symlink("loop.toml", p); }, nullptr},
      {"linked.toml",
       [&](const fs::path& p) {
         spit(p.parent_path().parent_path() / "elsewhere", toml("linked"));
         fs::create_symlink("../elsewhere", p);
       },
       nullptr},
      {"dir.toml", [](const fs::path& p) { fs::create_directory(p); }, "Is a directory (os error 21)"},
      {"fifo.toml", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
       "Invalid argument (os error 22)"},
      {"binary.toml", [](const fs::path& p) { spit(p, "name = \"\xff\"\n"); },
       "Invalid or incomplete multibyte or wide character (os error 84)"},
  };
  ASSERT_TRUE(registry_.write(volume("a")));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    const fs::path entry = dir / c.entry;
    c.make(entry);
    auto listed = registry_.list();
    auto each = registry_.read_each();  // the same files, each read on its own
    ASSERT_TRUE(each) << each.error().message();
    std::vector<std::string> files;
    for (const auto& r : *each) files.push_back(r.name);
    if (c.error == nullptr) {
      ASSERT_TRUE(listed) << listed.error().message();
      std::vector<std::string> names;
      for (const auto& v : *listed) names.push_back(v.name);
      std::vector<std::string> expected{"a"};
      if (std::string_view(c.entry) == "linked.toml") expected.push_back("linked");  // a link to a file is read
      EXPECT_EQ(names, expected);
      EXPECT_EQ(files, expected);
    } else {
      const std::string message = "I/O error at " + entry.string() + ": " + c.error;
      ASSERT_FALSE(listed);
      EXPECT_EQ(listed.error().message(), message);
      const std::string stem = fs::path(c.entry).stem();
      auto read = registry_.read(stem);
      ASSERT_FALSE(read);
      EXPECT_EQ(read.error().message(), message);
      ASSERT_EQ(files.size(), 2u);
      const RecordRead& broken = (*each)[files[0] == "a" ? 1 : 0];
      ASSERT_FALSE(broken.volume);
      EXPECT_EQ(broken.volume.error().message(), message);
    }
    fs::remove_all(entry);
  }
  fs::remove_all(dir);
  auto fresh = registry_.list();  // the layout is made again
  ASSERT_TRUE(fresh) << fresh.error().message();
  EXPECT_TRUE(fresh->empty());
  EXPECT_TRUE(fs::is_directory(home_.logs_dir()));
}

// A rename onto a mount point fails with EBUSY even for root; the bind mount
// lives in a private mount namespace of a child process.
TEST_F(RegistryTest, FailedRenameKeepsTheOldRecordAndTheNewText) {
  ASSERT_TRUE(registry_.write(volume("data")));
  Volume next = volume("data");
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
  EXPECT_EQ(*registry_.read("data"), volume("data"));
  // Records carry metadata URLs, which may hold passwords: owner only.
  struct stat st{};
  ASSERT_EQ(::stat((record.string() + ".tmp").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryTest, LockSerialisesProcesses) {
  const auto log = dir_.path() / "log";
  const auto append = [&](const std::string& line) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (fd >= 0) ::close(fd);
    return ok;
  };
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
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
    EXPECT_EQ(leave, "leave " + enter.substr(6));
  }
  EXPECT_EQ(holders, 2);
}

// A caller who gives up while another holds the lock is heard.
TEST_F(RegistryTest, LockWaitEndsOnACancelRequest) {
  auto held = registry_.lock();
  ASSERT_TRUE(held) << held.error().message();
  struct AfterThreeQuestions final : Cancel {
    mutable int asked = 0;
    bool requested() const override { return ++asked >= 3; }
  } cancel;
  auto waited = registry_.lock(cancel);
  ASSERT_FALSE(waited);
  EXPECT_EQ(waited.error().kind(), ErrorKind::Interrupted);
  EXPECT_EQ(cancel.asked, 3);
}

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
  const int inherited = ::open(lock_path.c_str(), O_RDONLY);  // shows the probe sees an inherited one
  EXPECT_NE(open_files_of_a_child().find(lock_path), std::string::npos);
  ::close(inherited);
  EXPECT_EQ(open_files_of_a_child().find(lock_path), std::string::npos);
}

}  // namespace
}  // namespace quarvo
