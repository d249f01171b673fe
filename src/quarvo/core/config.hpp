// quarvo/core/config.hpp: the optional configuration file, config.toml.
//
// Two keys: `storage_backend_bin` (alias `juicefs_bin`), a path to the
// storage backend program, and `command_timeout`, the bound in seconds (a
// positive number) on every backend command; the environment variable
// QUARVO_COMMAND_TIMEOUT overrides the latter. A missing or
// unreadable-by-stat file is the default configuration; one that is a
// symbolic link or not the user's is UnsafePath, one that is not a regular
// file of at most 64 KiB IoAt (it is never read through); other keys are
// ignored; a duplicate, mistyped or out-of-range key is a TomlParse error in
// the reader's frame, a bad QUARVO_COMMAND_TIMEOUT an InvalidArgument naming
// it.
#ifndef QUARVO_CORE_CONFIG_HPP_
#define QUARVO_CORE_CONFIG_HPP_

#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>

#include "quarvo/core/error.hpp"
#include "quarvo/core/paths.hpp"

namespace quarvo {

struct Config {
  std::optional<std::filesystem::path> storage_backend_bin;
  // The bound on every backend command and on the file operations inside a
  // mountpoint; none: wait as long as they take.
  std::optional<std::chrono::milliseconds> command_timeout;

  // Loads home.config_path(), then applies QUARVO_COMMAND_TIMEOUT; writes
  // nothing and creates nothing.
  [[nodiscard]] static Result<Config> load(const QuarvoHome& home);
  // Parses the text of a configuration file (also used by the fuzzer).
  [[nodiscard]] static Result<Config> parse(std::string_view text);
};

// A bound given in seconds as the runner applies it (at least 1 ms); nullopt
// unless `seconds` is a finite number above 0 and at most 10^9. What
// QUARVO_COMMAND_TIMEOUT, command_timeout in config.toml and a caller's
// bound (Quarvo.from_env(command_timeout=...)) may hold.
[[nodiscard]] std::optional<std::chrono::milliseconds> timeout_from_seconds(double seconds);

}  // namespace quarvo

#endif  // QUARVO_CORE_CONFIG_HPP_
