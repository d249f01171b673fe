#include "quarvo/service/status_text.hpp"

#include <algorithm>

#include "quarvo/core/json.hpp"
#include "quarvo/core/secrets.hpp"
#include "quarvo/core/text.hpp"

namespace quarvo {
namespace {

constexpr std::size_t kStatusCells = 5;  // the table's columns but the state, which comes from the checks

// Green for a served mount, yellow for one that needs a look, red for what
// Quarvo will not act on by itself.
std::string_view state_colour(std::string_view state) {
  if (state == "mounted") return "32";
  if (state == "stale" || state == "unresponsive" || state == "not mounted") return "33";
  if (state == "foreign" || state == "broken") return "31";
  return {};
}

// The table of `rows` rows (the first the header) and `columns` columns
// whose cells, already escaped, `cell(row, column)` gives.
template <class Cell>
std::string aligned(std::size_t rows, std::size_t columns, Cell cell, std::optional<std::size_t> state_column) {
  std::vector<std::size_t> widths(columns, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c + 1 < columns; ++c) widths[c] = std::max(widths[c], char_count(cell(r, c)));
  }
  std::string out;
  out.reserve(rows * 128);
  for (std::size_t r = 0; r < rows; ++r) {
    if (r > 0) out += '\n';
    const std::size_t start = out.size();
    for (std::size_t c = 0; c < columns; ++c) {
      const std::string_view text = cell(r, c);
      if (c > 0) out += "   ";
      const std::string_view colour = r > 0 && state_column == c ? state_colour(text) : std::string_view();
      if (colour.empty()) {
        out += text;
      } else {
        out.append("\x1b[").append(colour).append("m").append(text).append("\x1b[0m");
      }
      if (c + 1 < columns) out.append(widths[c] - char_count(text), ' ');
    }
    // The last cell is ragged, and an empty one leaves the padding before it.
    while (out.size() > start && out.back() == ' ') out.pop_back();
  }
  return out;
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
  Row row{0, -1, false};
  if (volume == nullptr) {
    row.broken = true;
    broken_.emplace_back(std::string(file_name), *error);
    if (!options_.json) {
      add_cell(file_name);
      for (std::size_t i = 1; i < kStatusCells; ++i) add_cell("-");
    }
  } else {
    const std::string mountpoint = volume->mountpoint ? path_text(*volume->mountpoint) : std::string();
    if (volume->mountpoint) {
      row.mount = static_cast<std::int32_t>(mounts_.size());
      mounts_.emplace_back(volume->name, *volume->mountpoint);
    }
    if (options_.json) {
      const auto field = [this](std::string_view key, std::string_view value) {
        text_.append("      \"").append(key).append("\": ");
        append_json_string(text_, value);
        text_ += ",\n";
      };
      text_ += json_volumes_++ == 0 ? "\n    {\n" : ",\n    {\n";
      field("name", volume->name);
      field("metadata_url", url(volume->metadata_url));
      field("storage", volume->storage);
      field("bucket", url(volume->bucket));
      text_.append("      \"dev\": ").append(volume->dev ? "true" : "false").append(",\n");
      if (volume->mountpoint) {
        field("mountpoint", mountpoint);  // its state and what was found there follow in finish()
      } else {
        text_ += "      \"mountpoint\": null,\n      \"state\": null,\n      \"found\": null\n    }";
      }
    } else {
      add_cell(volume->name);
      add_cell(volume->dev ? "dev" : "shared");
      add_cell(mountpoint.empty() ? "-" : mountpoint);
      append_escaped(text_, volume->storage);  // one cell: the storage kind, then its bucket
      text_ += ' ';
      add_cell(url(volume->bucket));
      add_cell(url(volume->metadata_url));
    }
  }
  row.end = static_cast<std::uint32_t>(text_.size());
  rows_.push_back(row);
}

StatusText StatusWriter::finish(const std::vector<MountCheck>& checks, const QuarvoHome& home) && {
  StatusText result;
  const auto state_of = [&](const Row& row) -> std::string_view {
    if (row.broken) return "broken";
    return row.mount < 0 ? std::string_view() : live_state_name(checks[static_cast<std::size_t>(row.mount)].state);
  };
  const auto message = [&](const QuarvoError& e) {
    return options_.show_secrets ? e.message() : mask_secrets(e.message());
  };

  if (options_.json) {
    // The document is written as the records were read; only the objects of
    // mounted volumes wait for their state, inserted where each one ends.
    std::string& out = result.out;
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
        out += "      \"state\": " + json_string(live_state_name(check.state)) + ",\n      \"found\": ";
        out += check.state == LiveState::Foreign ? json_string(check.found_source) : "null";
        out += "\n    }";
      }
      out.append(text_, copied);
    }
    const bool first = json_volumes_ == 0;
    out += first ? "]" : "\n  ]";
    if (!broken_.empty()) {
      out += ",\n  \"broken\": [";
      for (std::size_t i = 0; i < broken_.size(); ++i) {
        const auto& [name, error] = broken_[i];
        out += i == 0 ? "\n    {\n" : ",\n    {\n";
        out += "      \"name\": " + json_string(name) + ",\n";
        out += "      \"path\": " + json_string(path_text(home.volume_path(name))) + ",\n";
        out += "      \"error\": " + json_string(message(error)) + "\n    }";
      }
      out += "\n  ]";
    }
    out += "\n}\n";
  } else {
    static constexpr std::string_view kHeaders[] = {"NAME", "KIND", "STATE", "MOUNTPOINT", "STORAGE", "METADATA"};
    const auto cell = [&](std::size_t r, std::size_t c) -> std::string_view {
      if (r == 0) return kHeaders[c];
      const Row& row = rows_[r - 1];
      if (c == 2) {
        const std::string_view state = state_of(row);
        return state.empty() ? "-" : state;
      }
      const std::size_t k = (r - 1) * kStatusCells + (c < 2 ? c : c - 1);
      const std::uint32_t begin = k == 0 ? 0 : cell_ends_[k - 1];
      return std::string_view(text_).substr(begin, cell_ends_[k] - begin);
    };
    result.out = aligned(rows_.size() + 1, std::size(kHeaders), cell,
                         options_.colour ? std::optional<std::size_t>(2) : std::nullopt);
    result.out += '\n';
    if (rows_.empty() && !options_.named) result.err += "no volumes; create one with `quarvo init NAME --dev`\n";
  }

  std::string& err = result.err;
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
  for (const auto& [name, error] : broken_) {
    result.broken = true;
    err += "quarvo: error: the record of ";
    append_json_string(err, name);
    err += " cannot be read: " + escape_unprintable(path_text(home.volume_path(name))) + "\n";
    const std::string reason = message(error);
    for (std::size_t start = 0; start < reason.size();) {
      const std::size_t end = std::min(reason.find('\n', start), reason.size());
      err += "  " + escape_unprintable(std::string_view(reason).substr(start, end - start)) + "\n";
      start = end + 1;
    }
  }
  return result;
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

std::string render_table(const std::vector<std::string>& headers, const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::vector<std::string>> escaped;
  escaped.reserve(rows.size());
  for (const auto& row : rows) {
    auto& cells = escaped.emplace_back();
    for (std::size_t c = 0; c < headers.size(); ++c) cells.push_back(escape_unprintable(c < row.size() ? row[c] : ""));
  }
  const auto cell = [&](std::size_t r, std::size_t c) -> std::string_view {
    return r == 0 ? std::string_view(headers[c]) : std::string_view(escaped[r - 1][c]);
  };
  return aligned(rows.size() + 1, headers.size(), cell, std::nullopt);
}

}  // namespace quarvo
