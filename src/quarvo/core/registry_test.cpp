#include "quarvo/core/registry.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

Volume volume(std::string name) {
  return Volume{name, "juicefs", "sqlite3:///m.db", "file", "/objects", true, std::nullopt, "t", "t"};
}

class RegistryTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  QuarvoHome home_{dir_.path() / "home"};
  Registry registry_{home_};
};

// Records list by the bytes of their names. Only NAME.toml files for a
// valid, visible NAME are records; whatever else lands in the directory is
// passed over, except a record-named entry that cannot be read as one (a
// link, wherever it points, another user's file, one too large), which fails
// the listing with its path and is the entry visit_each hands over with
// that error. names() lists them all unread.
TEST_F(RegistryTest, ListingTakesOnlyRecordsAndFailsOnAnUnreadableOne) {
  namespace fs = std::filesystem;
  const fs::path dir = home_.volumes_dir();
  for (const char* name : {"b", "a", "B"}) ASSERT_TRUE(registry_.write(volume(name)));
  for (const char* other : {".hidden.toml", "a.toml.tmp", "bad name.toml", "NOTES.txt"}) {
    testing::spit(dir / other, *volume_to_toml(volume("x")));
  }
  fs::create_symlink("root@host.4242:1700000000", dir / ".#a.toml");  // an editor's lock
  testing::spit(home_.root() / "elsewhere", *volume_to_toml(volume("linked")));
  const struct {
    const char* entry;
    char type;  // 'd' a directory, 'p' a FIFO, 'f' not UTF-8, 'l' a link to a record, 'n' one to nowhere,
                // 'o' another user's, 'b' too large, 'm' another volume's record; 0: none
    const char* error;
  } cases[] = {
      {"", 0, ""},
      {"dir.toml", 'd', "I/O error at {}: Is a directory (os error 21)"},
      {"fifo.toml", 'p', "I/O error at {}: Invalid argument (os error 22)"},
      {"binary.toml", 'f', "I/O error at {}: Invalid or incomplete multibyte or wide character (os error 84)"},
      {"linked.toml", 'l', "{} is not safe to use: the record is a symbolic link"},
      {"dangling.toml", 'n', "{} is not safe to use: the record is a symbolic link"},
      {"other.toml", 'o', "{} is not safe to use: the record belongs to uid 4242"},
      {"big.toml", 'b', "I/O error at {}: File too large: 65537 bytes"},
      {"copy.toml", 'm', "the record names volume \"a\", not the volume of its file name \"copy\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const fs::path entry = dir / c.entry;
    if (c.type == 'd') fs::create_directory(entry);
    if (c.type == 'p') (void)::mkfifo(entry.c_str(), 0600);  // a failure shows in the listing
    if (c.type == 'f') testing::spit(entry, "name = \"\xff\"\n");
    if (c.type == 'l') fs::create_symlink("../elsewhere", entry);
    if (c.type == 'n') fs::create_symlink("nowhere/at/all", entry);
    if (c.type == 'm') testing::spit(entry, *volume_to_toml(volume("a")));  // copied by hand
    if (c.type == 'o') {
      testing::spit(entry, *volume_to_toml(volume("other")));
      if (::geteuid() != 0 || ::chown(entry.c_str(), 4242, 0) != 0) continue;  // only root gives files away
    }
    if (c.type == 'b') {
      const std::string text = *volume_to_toml(volume("big")) + "#";
      testing::spit(entry, text + std::string(65537 - text.size(), '#'));  // a comment one byte too long
    }
    auto listed = registry_.list();
    std::string names, files;
    ASSERT_TRUE(registry_.visit_each([&](std::string_view name, const Volume*, const QuarvoError* e) {
      files += e ? e->message() + "|" : std::string(name) + " ";  // the same files, each read on its own
    }));
    for (const auto& v : listed ? *listed : std::vector<Volume>{}) names += v.name + " ";
    std::string error = c.error;
    if (const size_t at = error.find("{}"); at != std::string::npos) error.replace(at, 2, entry.string());
    EXPECT_TRUE((listed ? names : listed.error().message()).starts_with(c.type ? error : "B a b "));
    EXPECT_EQ(files.substr(0, 6), "B a b ");
    EXPECT_TRUE(files.substr(6).starts_with(error));
    if (c.type) {
      EXPECT_TRUE(registry_.read(fs::path(c.entry).stem().string()).error().message().starts_with(error));
      fs::remove_all(entry);
    }
  }
  // The names alone open nothing: links, even one pointing nowhere, are named too.
  fs::create_symlink("nowhere/at/all", dir / "dangling.toml");
  fs::create_symlink("../elsewhere", dir / "linked.toml");
  EXPECT_EQ(registry_.names().value(), (std::vector<std::string>{"B", "a", "b", "dangling", "linked"}));
  fs::remove_all(dir);
  EXPECT_TRUE(registry_.names().value().empty() && !fs::exists(dir));  // no layout made for them
  EXPECT_TRUE(registry_.list().value().empty());                       // the layout is made again
  EXPECT_TRUE(fs::is_directory(home_.logs_dir()));
}

// A rename onto a mount point fails with EBUSY even for root; the bind mount
// lives in a private mount namespace of a child process.
TEST_F(RegistryTest, FailedRenameKeepsTheOldRecordAndTheNewText) {
  ASSERT_TRUE(registry_.write(volume("data")));
  Volume next = volume("data");
  next.bucket = "/objects/moved";
  const auto record = home_.volume_path("data"), decoy = dir_.path() / "decoy";
  testing::spit(decoy, "decoy");
  const int code = testing::in_child([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(decoy.c_str(), record.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return 77;
    }
    auto r = registry_.write(next);
    return !r && r.error().kind() == ErrorKind::IoAt && r.error().os_error().code == EBUSY ? 0 : 1;
  });
  if (code == 77) GTEST_SKIP() << "the kernel refused a private mount namespace";
  EXPECT_EQ(code, 0);
  EXPECT_EQ(testing::slurp(record.string() + ".tmp"), *volume_to_toml(next));
  EXPECT_EQ(*registry_.read("data"), volume("data"));
  // Records carry metadata URLs, which may hold passwords: owner only.
  EXPECT_EQ(std::filesystem::status(record.string() + ".tmp").permissions(), std::filesystem::perms(0600));
}

TEST_F(RegistryTest, LockSerialisesProcesses) {
  const auto log = dir_.path() / "log";
  std::vector<pid_t> children;
  for (const char* me : {"a", "b"}) {
    if (children.emplace_back(::fork()) == 0) {
      auto lock = registry_.lock(testing::no_limits());
      std::ofstream(log, std::ios::app) << me;
      ::usleep(50000);
      std::ofstream(log, std::ios::app) << me;
      ::_exit(lock ? 0 : 1);
    }
  }
  for (const pid_t pid : children) EXPECT_EQ(testing::wait_exit_code(pid), 0);
  EXPECT_TRUE(testing::slurp(log) == "aabb" || testing::slurp(log) == "bbaa") << testing::slurp(log);
}

// A lock another holder keeps is waited for only until the deadline, or
// until the caller asks to stop.
TEST_F(RegistryTest, LockWaitKeepsTheDeadlineAndHearsTheCancel) {
  auto held = registry_.lock(testing::no_limits());
  ASSERT_TRUE(held);
  struct : Cancel {
    bool requested() const override { return ++asked > 3; }
    mutable int asked = 0;
  } const impatient;
  const std::pair<WaitLimits, std::string> cases[] = {
      {WaitLimits::within(std::chrono::milliseconds(200), Cancel::never()),
       "waiting for the lock of " + home_.root().string() + " timed out after 0.2 s"},
      {WaitLimits::unbounded(impatient), "interrupted"},
  };
  for (const auto& [limits, message] : cases) {
    const auto start = std::chrono::steady_clock::now();
    auto lock = registry_.lock(limits);  // a second open file: flock makes it wait as another process would
    ASSERT_FALSE(lock);
    EXPECT_EQ(lock.error().message(), message);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
}

}  // namespace
}  // namespace quarvo
