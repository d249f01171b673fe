#include "quarvo/juicefs/juicefs.hpp"

#include <cerrno>
#include <utility>

#include "quarvo/core/secrets.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/juicefs/backend_reason.hpp"

namespace quarvo {
namespace {

// What a fresh format logs; with --no-update an engine that already holds a
// volume is left alone without it.
constexpr std::string_view kFreshFormat = "Volume is formatted as";

// The error of a failed backend command with the backend's own reason. A
// background mount's daemon writes to its log, so what the command appended
// there is searched first (and the error then names the log); otherwise its
// captured standard error.
QuarvoError explained(QuarvoError error, std::string_view secret, const std::filesystem::path* log = nullptr,
                      std::uintmax_t log_offset = 0) {
  if (log != nullptr) {
    if (std::string reason = backend_reason(log_tail(*log, log_offset), secret); !reason.empty()) {
      return std::move(error).with_reason(std::move(reason)).with_log(*log);
    }
  }
  if (error.kind() != ErrorKind::CommandFailed) return error;
  std::string reason = backend_reason(error.command().stderr_text, secret);
  if (reason.empty()) return error;
  return std::move(error).with_reason(std::move(reason));
}

// A minimal reader of the JSON `status` prints: enough to walk objects and
// take the strings it needs, skipping every other value.
class JsonCursor {
 public:
  explicit JsonCursor(std::string_view text) : text_(text) {}

  // Calls `member(key)` for each member of the object at the cursor; it must
  // consume the member's value (read it or skip it). False on malformed input.
  template <class Member>
  bool object(Member&& member) {
    if (!eat('{')) return false;
    if (eat('}')) return true;
    do {
      auto key = string();
      if (!key || !eat(':') || !member(*key)) return false;
    } while (eat(','));
    return eat('}');
  }

  std::optional<std::string> string() {
    if (!eat('"')) return std::nullopt;
    std::string out;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return std::nullopt;
      const char e = text_[pos_++];
      switch (e) {
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          auto cp = hex4();
          if (!cp) return std::nullopt;
          if (*cp >= 0xD800 && *cp < 0xDC00 && text_.substr(pos_, 2) == "\\u") {
            pos_ += 2;
            auto low = hex4();
            if (!low) return std::nullopt;
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
          }
          append_utf8(out, *cp);
          break;
        }
        default: out += e;  // '"', '\\', '/'
      }
    }
    return std::nullopt;
  }

  bool skip(int depth = 0) {
    if (depth > 64) return false;
    space();
    if (pos_ >= text_.size()) return false;
    switch (text_[pos_]) {
      case '"': return string().has_value();
      case '{': return object([&](std::string_view) { return skip(depth + 1); });
      case '[':
        ++pos_;
        if (eat(']')) return true;
        do {
          if (!skip(depth + 1)) return false;
        } while (eat(','));
        return eat(']');
      default: {
        // A number, true, false or null.
        const size_t start = pos_;
        while (pos_ < text_.size() && std::string_view("+-.0123456789Eaeflnrstu").find(text_[pos_]) != std::string_view::npos) {
          ++pos_;
        }
        return pos_ > start;
      }
    }
  }

 private:
  void space() {
    while (pos_ < text_.size() && std::string_view(" \t\r\n").find(text_[pos_]) != std::string_view::npos) ++pos_;
  }
  bool eat(char c) {
    space();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  std::optional<char32_t> hex4() {
    if (pos_ + 4 > text_.size()) return std::nullopt;
    char32_t cp = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (v < 0) return std::nullopt;
      cp = cp * 16 + static_cast<char32_t>(v);
    }
    return cp;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// "volume "n" (storage s, bucket b)" with any password in the bucket masked.
std::string describe(const StoredVolume& v) {
  return "volume " + quote(v.name) + " (storage " + v.storage + ", bucket " + mask_url(v.bucket) + ")";
}

}  // namespace

std::optional<StoredVolume> parse_stored_volume(std::string_view status_json) {
  JsonCursor json(status_json);
  std::optional<std::string> name, storage, bucket;
  const bool ok = json.object([&](std::string_view key) {
    if (key != "Setting") return json.skip();
    return json.object([&](std::string_view setting) {
      std::optional<std::string>* field = setting == "Name"      ? &name
                                          : setting == "Storage" ? &storage
                                          : setting == "Bucket"  ? &bucket
                                                                 : nullptr;
      if (field == nullptr) return json.skip();
      *field = json.string();
      return field->has_value();
    });
  });
  if (!ok || !name || !storage || !bucket) return std::nullopt;
  return StoredVolume{std::move(*name), std::move(*storage), std::move(*bucket)};
}

std::string stored_bucket(std::string_view storage, std::string_view bucket) {
  if (storage != "file") return without_credentials(bucket);
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(std::filesystem::path(bucket), ec);
  if (ec) path = std::filesystem::path(bucket);
  std::string text = path_text(path.lexically_normal());
  if (!text.ends_with('/')) text += '/';
  return text;
}

CommandSpec JuiceFs::meta_command(std::string_view subcommand, const std::string& metadata_url) const {
  MetadataUrl split = split_metadata_password(metadata_url);
  CommandSpec spec = CommandSpec(program_).arg(std::string(subcommand)).arg(std::move(split.url));
  if (!split.password.empty()) {
    spec.env("META_PASSWORD", std::move(split.password));
    spec.env("REDIS_PASSWORD", std::nullopt);
  }
  return spec;
}

CommandSpec JuiceFs::format_spec(const Volume& volume) const {
  // The metadata URL comes before the volume name; trash is never kept.
  return meta_command("format", volume.metadata_url)
      .arg(volume.name)
      .arg("--storage")
      .arg(volume.storage)
      .arg("--bucket")
      .arg(volume.bucket)
      .arg("--trash-days")
      .arg("0")
      .arg("--no-update");
}

CommandSpec JuiceFs::mount_spec(const Volume& volume, const MountVolume& request,
                                const std::filesystem::path& log_path) const {
  CommandSpec spec =
      meta_command("mount", volume.metadata_url).arg(path_text(request.path)).arg("--log").arg(path_text(log_path));
  if (!request.foreground) spec.arg("-d");
  if (request.check_storage) spec.arg("--check-storage");
  return spec;
}

CommandSpec JuiceFs::unmount_spec(const std::filesystem::path& mountpoint, bool force) const {
  CommandSpec spec = CommandSpec(program_).arg("umount").arg("--flush");
  if (force) spec.arg("--force");
  spec.arg(path_text(mountpoint));
  return spec;
}

CommandSpec JuiceFs::status_spec(const std::string& metadata_url) const {
  return meta_command("status", metadata_url);
}

Result<CommandOutput> JuiceFs::format(const Volume& volume) const {
  const std::string secret = split_metadata_password(volume.metadata_url).password;
  auto output = format_spec(volume).run();
  if (!output) return std::unexpected(explained(std::move(output).error(), secret));
  if (output->stderr_text.find(kFreshFormat) != std::string::npos) return output;

  // The engine already held a volume: a second machine joining a shared
  // volume, or a request that would silently get someone else's files.
  auto stored = status(volume.metadata_url);
  if (!stored) return std::unexpected(std::move(stored).error());
  const StoredVolume asked{volume.name, volume.storage, stored_bucket(volume.storage, volume.bucket)};
  const StoredVolume held{stored->name, stored->storage, stored_bucket(stored->storage, stored->bucket)};
  if (asked == held) return output;
  if (held.name != asked.name) {
    return std::unexpected(QuarvoError::volume_mismatch(volume.name, "it holds " + describe(*stored)));
  }
  return std::unexpected(QuarvoError::volume_mismatch(
      volume.name, "its " + describe(*stored) + " is not on storage " + volume.storage + ", bucket " +
                       mask_url(volume.bucket)));
}

Result<StoredVolume> JuiceFs::status(const std::string& metadata_url) const {
  const std::string secret = split_metadata_password(metadata_url).password;
  auto output = status_spec(metadata_url).run();
  if (!output) return std::unexpected(explained(std::move(output).error(), secret));
  auto stored = parse_stored_volume(output->stdout_text);
  if (!stored) {
    return std::unexpected(QuarvoError::io(
        OsError::with_message(EPROTO, "the storage backend's status gave no volume settings for " +
                                          quote(mask_url(metadata_url)))));
  }
  return std::move(*stored);
}

Result<void> JuiceFs::mount(const Volume& volume, const MountVolume& request,
                            const std::filesystem::path& log_path) const {
  const CommandSpec spec = mount_spec(volume, request, log_path);
  if (!request.foreground) {
    // "-d": the backend detaches its daemon and exits once the mount is up.
    // What the daemon says goes to the log, after what is there already.
    const std::string secret = split_metadata_password(volume.metadata_url).password;
    const std::uintmax_t log_offset = log_size(log_path);
    auto output = spec.run();
    if (!output) return std::unexpected(explained(std::move(output).error(), secret, &log_path, log_offset));
    return {};
  }
  // Attached to the caller's terminal; returns when the file system is unmounted.
  auto child = spec.spawn();
  if (!child) return std::unexpected(std::move(child).error());
  auto status = child->wait();
  if (!status) return std::unexpected(std::move(status).error());
  if (*status == 0) return {};
  return std::unexpected(QuarvoError::command_failed(CommandFailure{
      path_text(program_),
      "mount",
      wait_status_text(*status),
      {},
      {},
  }));
}

Result<CommandOutput> JuiceFs::unmount(const std::filesystem::path& mountpoint, bool force) const {
  auto output = unmount_spec(mountpoint, force).run();
  if (!output) return std::unexpected(explained(std::move(output).error(), {}));
  return output;
}

}  // namespace quarvo
