#include "quarvo/core/processes.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

// An owner passes only for the very process it names: not for a text of
// another form, another start time (a reused pid), a zombie or a process
// that is gone; and every reader answers for a vanished process without
// failing.
TEST(Processes, AnOwnerIsAliveOnlyAsTheProcessItNames) {
  const std::string me = own_owner();
  EXPECT_TRUE(owner_alive(me));
  EXPECT_EQ(owner_pid(me), ::getpid());
  const std::string start_time = me.substr(me.find(':') + 1);
  for (const std::string& other :
       {std::to_string(::getpid()) + ":" + start_time + "1", std::string(""), std::to_string(::getpid()),
        ":" + start_time, std::string("x:1"), std::string("-1:5")}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(owner_alive(other));
  }

  const pid_t child = testing::start_program({"sleep", "30"});
  ASSERT_GT(child, 0);
  const std::string owner = std::to_string(child) + ":" + std::to_string(process_start(child).value());
  // The spawn returns while the kernel may still be setting up the new
  // program's arguments: until then its command line reads as empty.
  for (int i = 0; i < 1000 && !command_line(child); ++i) ::usleep(1000);
  EXPECT_EQ(command_line(child), "sleep 30");
  EXPECT_EQ(parent_pid(child), ::getpid());
  EXPECT_TRUE(owner_alive(owner));
  ::kill(child, SIGKILL);
  while (!process_gone(child)) ::usleep(1000);  // a zombie until reaped
  EXPECT_FALSE(owner_alive(owner));
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  EXPECT_TRUE(process_gone(child));
  EXPECT_FALSE(owner_alive(owner));
  EXPECT_EQ(command_line(child), std::nullopt);
  EXPECT_EQ(process_start(child), std::nullopt);
  EXPECT_EQ(parent_pid(child), std::nullopt);
}

// Only descriptors open for writing, only under the directory asked for.
TEST(Processes, WritersUnderADirectory) {
  testing::TempDir tmp;
  const auto dir = tmp.path() / "mnt";
  std::filesystem::create_directories(dir);
  testing::spit(dir / "read", "x");
  const int writing = ::open((dir / "written").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const int both = ::open((dir / "read").c_str(), O_RDWR | O_CLOEXEC);
  const int reading = ::open((dir / "read").c_str(), O_RDONLY | O_CLOEXEC);
  const int beside = ::open((tmp.path() / "mnt-beside").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  const auto link = [](int fd) {
    return std::filesystem::path("/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd));
  };
  const auto open = open_files(::getpid());
  EXPECT_NE(std::find(open.begin(), open.end(), dir / "written"), open.end());
  EXPECT_TRUE(open_files(-1).empty());
  auto found = writers_under(dir);
  std::sort(found.begin(), found.end());
  std::vector<std::filesystem::path> expected{link(writing), link(both)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(found, expected);
  for (const int fd : {writing, both, reading, beside}) ::close(fd);
}

}  // namespace
}  // namespace quarvo
