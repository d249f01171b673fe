#include "quarvo/cli/status_text.hpp"

#include <algorithm>

#include "quarvo/cli/table.hpp"
#include "quarvo/core/json.hpp"
#include "quarvo/core/secrets.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/service/intents.hpp"

namespace quarvo {
namespace {

constexpr std::size_t kStatusCells = 5;  // the table's columns but the state, which comes from the checks

// Green for a served mount, yellow for one that needs a look, red for what
// Quarvo will not act on by itself.
std::string_view state_colour(std::string_view state) {
  if (state == "mounted") return "32";
  if (state == "stale" || state == "unresponsive" || state == "not mounted") return "33";
  if (state == "foreign" || state == "broken" || state == "interrupted") return "31";
  if (state == "mounting" || state == "unmounting" || state == "creating") return "33";
  return {};
}

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

}  // namespace

StatusWriter::StatusWriter(const StatusTextOptions& options) : options_(options) {
  // Room for ten thousand rows at once: what is never written is never
  // touched, and growing by copies costs a listing more than its rendering.
  if (!options_.named) text_.reserve(std::size_t{4} << 20);
  if (options_.json) text_ = "{\n  \"volumes\": [";
}

std::string_view StatusWriter::url(const std::string& value) {
  // Only a URL with credentials ("@") or a query ("?") can hold a password;
  // nearly every URL of a listing is shown as it is, without a copy.
  if (options_.show_secrets || std::none_of(value.begin(), value.end(), [](char c) { return c == '@' || c == '?'; })) {
    return value;
  }
  masked_ = mask_url(value);
  return masked_;
}

void StatusWriter::add_cell(std::string_view text) {
  append_escaped(text_, text);
  cell_ends_.push_back(static_cast<std::uint32_t>(text_.size()));
}

void StatusWriter::add(std::string_view file_name, const Volume* volume, const QuarvoError* error) {
  Row row{0, -1, false, {}};
  if (volume == nullptr) {
    row.broken = true;
    broken_.emplace_back(std::string(file_name), *error);
    if (!options_.json) {
      add_cell(file_name);
      for (std::size_t i = 1; i < kStatusCells; ++i) add_cell("-");
    }
  } else {
    if (volume->mountpoint) {
      row.mount = static_cast<std::int32_t>(mounts_.size());
      mounts_.emplace_back(volume->name, *volume->mountpoint);
    }
    // Its intent shows as it is found now: nothing is settled here.
    const bool live = volume->intent && intent_live(*volume->intent);
    if (volume->intent) row.intent = intent_state_word(*volume->intent, live);
    options_.json ? add_object(*volume, row, live) : add_cells(*volume);
  }
  row.end = static_cast<std::uint32_t>(text_.size());
  rows_.push_back(row);
}

void StatusWriter::add_intent(const Volume& volume, bool live) {
  if (!volume.intent) {
    text_ += "      \"intent\": null,\n";
    return;
  }
  const VolumeIntent& intent = *volume.intent;
  text_ += "      \"intent\": {\n        \"step\": " + json_string(intent.step) + ",\n        \"mountpoint\": ";
  text_ += intent.mountpoint ? json_string(path_text(*intent.mountpoint)) : "null";
  text_ += ",\n        \"since\": " + (intent.since.empty() ? std::string("null") : json_string(intent.since));
  text_ += std::string(",\n        \"live\": ") + (live ? "true" : "false") + "\n      },\n";
}

void StatusWriter::add_object(const Volume& volume, const Row& row, bool live) {
  const auto field = [this](std::string_view key, std::string_view value) {
    text_.append("      \"").append(key).append("\": ");
    append_json_string(text_, value);
    text_ += ",\n";
  };
  text_ += json_volumes_++ == 0 ? "\n    {\n" : ",\n    {\n";
  field("name", volume.name);
  field("metadata_url", url(volume.metadata_url));
  field("storage", volume.storage);
  field("bucket", url(volume.bucket));
  text_.append("      \"dev\": ").append(volume.dev ? "true" : "false").append(",\n");
  add_intent(volume, live);
  if (volume.mountpoint) {
    field("mountpoint", path_text(*volume.mountpoint));  // its state and what was found there follow in finish()
  } else {
    text_ += "      \"mountpoint\": null,\n      \"state\": ";
    text_ += row.intent.empty() ? "null" : json_string(row.intent);
    text_ += ",\n      \"found\": null\n    }";
  }
}

void StatusWriter::add_cells(const Volume& volume) {
  add_cell(volume.name);
  add_cell(volume.dev ? "dev" : "shared");
  add_cell(volume.mountpoint ? path_text(*volume.mountpoint) : "-");
  append_escaped(text_, volume.storage);  // one cell: the storage kind, then its bucket
  text_ += ' ';
  add_cell(url(volume.bucket));
  add_cell(url(volume.metadata_url));
}

std::string StatusWriter::shown_message(const QuarvoError& error) const {
  return options_.show_secrets ? error.message() : mask_secrets(error.message());
}

std::string_view StatusWriter::state_of(const Row& row, const std::vector<MountCheck>& checks) const {
  if (row.broken) return "broken";
  if (!row.intent.empty()) return row.intent;
  return row.mount < 0 ? std::string_view() : live_state_name(checks[static_cast<std::size_t>(row.mount)].state);
}

StatusText StatusWriter::finish(const std::vector<MountCheck>& checks, const QuarvoHome& home) && {
  StatusText result;
  if (options_.json) {
    result.out = json_document(checks, home);
  } else {
    result.out = table(checks) + '\n';
    if (rows_.empty() && !options_.named) result.err = "no volumes; create one with `quarvo init NAME --dev`\n";
  }
  result.err += hints(checks);
  result.err += broken_report(home);
  result.broken = !broken_.empty();
  return result;
}

std::string StatusWriter::json_document(const std::vector<MountCheck>& checks, const QuarvoHome& home) {
  // The document is written as the records were read; only the objects of
  // mounted volumes wait for their state, inserted where each one ends.
  std::string out;
  if (mounts_.empty()) {
    out = std::move(text_);
  } else {
    out.reserve(text_.size() + mounts_.size() * 64 + 64);
    std::size_t copied = 0;
    for (const Row& row : rows_) {
      if (row.mount < 0) continue;
      const MountCheck& check = checks[static_cast<std::size_t>(row.mount)];
      out.append(text_, copied, row.end - copied);
      copied = row.end;
      const std::string_view state = row.intent.empty() ? live_state_name(check.state) : row.intent;
      out += "      \"state\": " + json_string(state) + ",\n      \"found\": ";
      out += check.state == LiveState::Foreign ? json_string(check.found_source) : "null";
      out += "\n    }";
    }
    out.append(text_, copied);
  }
  out += json_volumes_ == 0 ? "]" : "\n  ]";
  if (!broken_.empty()) {
    out += ",\n  \"broken\": [";
    for (std::size_t i = 0; i < broken_.size(); ++i) {
      const auto& [name, error] = broken_[i];
      out += i == 0 ? "\n    {\n" : ",\n    {\n";
      out += "      \"name\": " + json_string(name) + ",\n";
      out += "      \"path\": " + json_string(path_text(home.volume_path(name))) + ",\n";
      out += "      \"error\": " + json_string(shown_message(error)) + "\n    }";
    }
    out += "\n  ]";
  }
  out += "\n}\n";
  return out;
}

std::string StatusWriter::table(const std::vector<MountCheck>& checks) const {
  static constexpr std::string_view kHeaders[] = {"NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"};
  constexpr std::size_t kStateColumn = 2;
  const auto cell = [&](std::size_t r, std::size_t c) -> std::string_view {
    if (r == 0) return kHeaders[c];
    const Row& row = rows_[r - 1];
    if (c == kStateColumn) {
      const std::string_view state = state_of(row, checks);
      return state.empty() ? "-" : state;
    }
    const std::size_t k = (r - 1) * kStatusCells + (c < kStateColumn ? c : c - 1);
    const std::uint32_t begin = k == 0 ? 0 : cell_ends_[k - 1];
    return std::string_view(text_).substr(begin, cell_ends_[k] - begin);
  };
  const auto colour = [&](std::size_t r, std::size_t c) {
    const bool coloured = options_.colour && r > 0 && c == kStateColumn;
    return coloured ? state_colour(state_of(rows_[r - 1], checks)) : std::string_view();
  };
  return aligned_table(rows_.size() + 1, std::size(kHeaders), cell, colour);
}

std::string StatusWriter::hints(const std::vector<MountCheck>& checks) const {
  std::string err;
  std::string lost;
  std::size_t lost_count = 0;
  for (std::size_t i = 0; i < mounts_.size(); ++i) {
    if (checks[i].state == LiveState::NotMounted || checks[i].state == LiveState::Stale) {
      lost.append(lost.empty() ? "" : ", ").append(escape_unprintable(mounts_[i].first));
      ++lost_count;
    }
  }
  if (lost_count > 0) {
    err += "hint: " + lost + (lost_count == 1 ? " is" : " are") +
           " recorded as mounted but not served (after a restart, or the mount's daemon died); "
           "run `quarvo mount --all` to mount " +
           (lost_count == 1 ? "it" : "them") + " again\n";
  }
  for (std::size_t i = 0; i < mounts_.size(); ++i) {
    if (checks[i].state != LiveState::Foreign) continue;
    const std::string name = escape_unprintable(mounts_[i].first);
    const std::string& found = checks[i].found_source;
    err += "hint: another file system (" + (found.empty() ? std::string("?") : escape_unprintable(found)) +
           ") is mounted at " + escape_unprintable(path_text(mounts_[i].second)) + ", where " + name +
           " is recorded; `quarvo unmount " + name + "` clears the record\n";
  }
  return err;
}

std::string StatusWriter::broken_report(const QuarvoHome& home) const {
  std::string err;
  for (const auto& [name, error] : broken_) {
    err += "quarvo: error: the record of ";
    append_json_string(err, name);
    err += " cannot be read: " + escape_unprintable(path_text(home.volume_path(name))) + "\n";
    const std::string reason = shown_message(error);
    for (std::size_t start = 0; start < reason.size();) {
      const std::size_t end = std::min(reason.find('\n', start), reason.size());
      err += "  " + escape_unprintable(std::string_view(reason).substr(start, end - start)) + "\n";
      start = end + 1;
    }
  }
  return err;
}

Result<StatusText> status_text(const Registry& registry, const std::optional<std::string>& name,
                               std::chrono::milliseconds bound, const StatusTextOptions& options) {
  StatusWriter writer(options);
  if (name) {
    Result<Volume> volume = registry.read(*name);
    if (!volume &&
        (volume.error().kind() == ErrorKind::InvalidVolumeName || volume.error().kind() == ErrorKind::VolumeNotFound)) {
      return std::unexpected(std::move(volume).error());
    }
    writer.add(*name, volume ? &*volume : nullptr, volume ? nullptr : &volume.error());
  } else {
    QUARVO_TRY(registry.visit_each(
        [&](std::string_view file_name, const Volume* v, const QuarvoError* e) { writer.add(file_name, v, e); }));
  }
  const std::vector<MountCheck> checks = check_mounts(writer.mounts(), bound);
  return std::move(writer).finish(checks, registry.home());
}

}  // namespace quarvo
