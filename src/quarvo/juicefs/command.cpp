#include "quarvo/juicefs/command.hpp"

#include <fcntl.h>

#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/juicefs/spawn.hpp"

namespace quarvo {
namespace {

std::string join_args(const std::vector<std::string>& args) {
  std::string joined;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) joined += ' ';
    joined += args[i];
  }
  return joined;
}

}  // namespace

CommandSpec CommandSpec::arg(std::string value) && {
  args_.push_back(std::move(value));
  return std::move(*this);
}

CommandSpec& CommandSpec::arg(std::string value) & {
  args_.push_back(std::move(value));
  return *this;
}

CommandSpec CommandSpec::env(std::string name, std::optional<std::string> value) && {
  env_.emplace_back(std::move(name), std::move(value));
  return std::move(*this);
}

CommandSpec& CommandSpec::env(std::string name, std::optional<std::string> value) & {
  env_.emplace_back(std::move(name), std::move(value));
  return *this;
}

std::string CommandSpec::what() const {
  std::string text = path_text(program_.filename());
  if (!args_.empty()) text += " " + args_.front();
  return text;
}

QuarvoError CommandSpec::failure(int wait_status, CommandOutput output) const {
  return QuarvoError::command_failed(CommandFailure{
      path_text(program_),
      join_args(args_),
      wait_status_text(wait_status),
      std::move(output.stdout_text),
      std::move(output.stderr_text),
  });
}

Result<Child> CommandSpec::start_detached(const std::filesystem::path& output) const {
  auto log = open_fd(output, O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (!log) return std::unexpected(QuarvoError::io_at_errno(output, log.error()));
  auto fd = above_stdio(std::move(*log));
  if (!fd) return std::unexpected(std::move(fd).error());
  const ChildStreams streams{fd->get(), fd->get(), true};
  auto pid = start_process(program_, args_, env_, &streams);
  if (!pid) return std::unexpected(std::move(pid).error());
  return Child::started(*pid, UniqueFd(), UniqueFd(), what());
}

Result<Child> CommandSpec::launch(bool capture) const {
  if (!capture) {
    auto pid = start_process(program_, args_, env_, nullptr);
    if (!pid) return std::unexpected(std::move(pid).error());
    return Child::started(*pid, UniqueFd(), UniqueFd(), what());
  }
  auto out = make_pipe();
  if (!out) return std::unexpected(std::move(out).error());
  auto err = make_pipe();
  if (!err) return std::unexpected(std::move(err).error());
  const ChildStreams captured{out->write_end.get(), err->write_end.get()};
  auto pid = start_process(program_, args_, env_, &captured);
  if (!pid) return std::unexpected(std::move(pid).error());
  // Our copies of the write ends would keep the pipes from ever ending.
  out->write_end.reset();
  err->write_end.reset();
  return Child::started(*pid, std::move(out->read_end), std::move(err->read_end), what());
}

Result<Child> CommandSpec::start() const { return launch(true); }

Result<Child> CommandSpec::spawn() const { return launch(false); }

Result<CommandOutput> CommandSpec::run(const WaitLimits& limits) const {
  auto child = start();
  if (!child) return std::unexpected(std::move(child).error());
  auto status = child->wait(limits);
  if (!status) return std::unexpected(std::move(status).error());
  CommandOutput output = child->take_output();
  if (*status == 0) return output;
  return std::unexpected(failure(*status, std::move(output)));
}

}  // namespace quarvo
