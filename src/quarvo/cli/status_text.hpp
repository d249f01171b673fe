// quarvo/cli/status_text.hpp: what `quarvo status` prints.
//
// The listing is printed straight from the service's `VolumeState`s, with no
// Python object per record, so that the command costs about what the
// listing does at any number of volumes: the aligned table or the JSON
// document for standard output, the hints and errors for standard error.
// Passwords are masked unless asked for; in a table every character Python
// would not print is escaped, so no value can break a row or colour the
// terminal (JSON escapes its own).
//
//   auto t = status_text(Registry(home), std::nullopt, kLiveStateBound, {.colour = isatty(1)});
//   write(1, t->out); write(2, t->err); return t->broken ? 1 : 0;
#ifndef QUARVO_CLI_STATUS_TEXT_HPP_
#define QUARVO_CLI_STATUS_TEXT_HPP_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/service/live_state.hpp"

namespace quarvo {

struct StatusTextOptions {
  bool json = false;          // the JSON document instead of the table
  bool show_secrets = false;  // passwords as they are stored
  bool colour = false;        // the state column in ANSI colours (a terminal)
  bool named = false;         // one volume was asked for: no "no volumes" line
};

struct StatusText {
  std::string out;      // for standard output, ending in a newline
  std::string err;      // hints and errors for standard error, each line ending in a newline
  bool broken = false;  // some record could not be read
};

// Every record of the registry (no name) in its order, or the one named,
// with the live state of its mount (all checked together under `bound`).
// Fails as volume_states does: the registry cannot be listed, or the name
// is invalid or has no record.
[[nodiscard]] Result<StatusText> status_text(const Registry& registry, const std::optional<std::string>& name,
                                             std::chrono::milliseconds bound, const StatusTextOptions& options);

// StatusWriter: the text built record by record, as the registry is read,
// keeping only what is printed (a listing of 10,000 records holds no
// record); the states of the mounts seen are given at the end.
class StatusWriter {
 public:
  explicit StatusWriter(const StatusTextOptions& options);

  // One record, in listing order: its volume, or why it cannot be read.
  void add(std::string_view file_name, const Volume* volume, const QuarvoError* error);
  // The (volume name, recorded mountpoint) of every record added that has one.
  [[nodiscard]] const std::vector<std::pair<std::string, std::filesystem::path>>& mounts() const { return mounts_; }
  // The text, given the check of each of mounts(), in the same order.
  [[nodiscard]] StatusText finish(const std::vector<MountCheck>& checks, const QuarvoHome& home) &&;

 private:
  struct Row {
    std::uint32_t end;        // JSON, a mounted volume: where its state goes in text_
    std::int32_t mount;       // its index in mounts_, -1 without a mountpoint
    bool broken;              // it cannot be read (its file and reason are in broken_)
    std::string_view intent;  // the state word of its intent (intents.hpp), empty for none
  };
  // add(), for a readable record: its JSON object, or its table cells.
  // add_object's "intent": null when none; else its step, mountpoint, since
  // and whether its owner runs.
  void add_intent(const Volume& volume, bool live);
  void add_object(const Volume& volume, const Row& row, bool live);
  void add_cells(const Volume& volume);
  void add_cell(std::string_view text);
  // `value` as shown; valid until the next call.
  [[nodiscard]] std::string_view url(const std::string& value);
  // An error's message as shown: passwords masked unless asked for.
  [[nodiscard]] std::string shown_message(const QuarvoError& error) const;
  // The word of a row's STATE cell, empty for none.
  [[nodiscard]] std::string_view state_of(const Row& row, const std::vector<MountCheck>& checks) const;

  // finish(), step by step: standard output as the document or the table,
  // then standard error's hints and the records that cannot be read.
  [[nodiscard]] std::string json_document(const std::vector<MountCheck>& checks, const QuarvoHome& home);
  [[nodiscard]] std::string table(const std::vector<MountCheck>& checks) const;
  [[nodiscard]] std::string hints(const std::vector<MountCheck>& checks) const;
  [[nodiscard]] std::string broken_report(const QuarvoHome& home) const;

  StatusTextOptions options_;
  std::string text_;                      // the rows' cells or objects, one after another
  std::vector<std::uint32_t> cell_ends_;  // table: where each row's five cells end
  std::vector<Row> rows_;
  std::vector<std::pair<std::string, std::filesystem::path>> mounts_;
  std::vector<std::pair<std::string, QuarvoError>> broken_;  // file name, why
  std::string masked_;                                       // the last URL url() masked
  std::size_t json_volumes_ = 0;                             // JSON: the objects written so far
};

}  // namespace quarvo

#endif  // QUARVO_CLI_STATUS_TEXT_HPP_
