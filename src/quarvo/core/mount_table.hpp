// quarvo/core/mount_table.hpp: what the kernel says is mounted where.
//
// The kernel's mount table is the only truth about mounts: a volume counts as
// mounted at P when the table's entry on top at P shows the source
// "JuiceFS:" + its name. Nothing here touches a mounted file system: the
// table is read from /proc/self/mountinfo (getmntinfo without waiting on
// macOS), and canonical paths resolve only the parent directory, never the
// leaf that may be a mount whose server is gone.
//
//   auto table = read_mount_table();
//   auto where = canonical_mountpoint("mnt/data");      // /home/me/mnt/data
//   auto top = mount_at(*table, *where);
//   bool ours = top && top->source == volume_mount_source("data");
#ifndef QUARVO_CORE_MOUNT_TABLE_HPP_
#define QUARVO_CORE_MOUNT_TABLE_HPP_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/error.hpp"

namespace quarvo {

// MountEntry: one line of the mount table, escapes undone.
struct MountEntry {
  std::filesystem::path mountpoint;
  std::string source;  // "JuiceFS:data", "/dev/sda1", "tmpfs", ...
  std::string fstype;  // "fuse.juicefs", "ext4", ...
  // A FUSE mount that other users than the mounting one may enter (its
  // super options hold allow_other); Linux only.
  bool allow_other = false;
  std::string device{};  // "MAJ:MIN" of its file system ("0:46"); empty where the platform has none

  bool operator==(const MountEntry&) const = default;
};

// The mount table of this process, in the kernel's order (a mount stacked on
// another comes after it). One read; IoAt of the table file when it cannot be
// read.
[[nodiscard]] Result<std::vector<MountEntry>> read_mount_table();

// The entries of mountinfo text ("ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS
// [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS" per line), octal escapes such
// as \040 undone; lines of another shape are skipped. Linux's format, parsed
// on every platform so it can be tested anywhere.
[[nodiscard]] std::vector<MountEntry> parse_mountinfo(std::string_view text);

// The entry on top at `mountpoint` (the last one listed for it), if any. The
// path is compared as given: pass a canonical one.
[[nodiscard]] std::optional<MountEntry> mount_at(const std::vector<MountEntry>& table,
                                                 const std::filesystem::path& mountpoint);

// The path as the mount table would show it: made absolute against the
// current directory, trailing "/" and "." dropped, the parent directory
// resolved (symbolic links, "." and "..") and the leaf appended unresolved,
// so the leaf, which may be a mount that no longer answers, is never looked
// at. Missing directories of the parent are appended as written, ".." taking
// away one, so a mountpoint still to be created has its canonical form too.
// "/" stays "/". IoAt of the path for an empty path (ENOENT), a parent that
// is not a directory (ENOTDIR) or any other failure to resolve it.
[[nodiscard]] Result<std::filesystem::path> canonical_mountpoint(const std::filesystem::path& path);

// "JuiceFS:" + name: the source a volume's mount shows in the table.
[[nodiscard]] std::string volume_mount_source(std::string_view name);
// Whether `source` is some volume's: what volume_mount_source gives for a name.
[[nodiscard]] bool is_volume_mount_source(std::string_view source);

}  // namespace quarvo

#endif  // QUARVO_CORE_MOUNT_TABLE_HPP_
