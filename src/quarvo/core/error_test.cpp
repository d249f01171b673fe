#include "quarvo/core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <tuple>

namespace quarvo {
namespace {

// One row per kind, in the table's order (a kind may have more rows, next to
// each other): the kind and its message. The first seventeen texts and their
// order are fixed; the rest were appended after them. Names and paths of any
// length are cut to 200 characters, the full length said.
TEST(ErrorMessage, EveryKindRendersItsFixedText) {
  // Names and URLs go through quote(), which text_test checks on every character.
  const std::tuple<QuarvoError, ErrorKind, std::string> cases[] = {
      {QuarvoError::invalid_volume_name("my\tvol"), ErrorKind::InvalidVolumeName,
       "invalid volume name \"my\\tvol\"; use only letters, numbers, '.', '_' and '-'"},
      {QuarvoError::volume_exists("x\"y"), ErrorKind::VolumeExists, "volume \"x\\\"y\" already exists"},
      {QuarvoError::volume_not_found("line\nfeed"), ErrorKind::VolumeNotFound, "volume \"line\\nfeed\" does not exist"},
      // A text of any size costs a message one line: cut to 200 characters.
      {QuarvoError::volume_not_found(std::string(10'000'000, 'n')), ErrorKind::VolumeNotFound,
       "volume \"" + std::string(200, 'n') + "...\" (10000000 characters) does not exist"},
      {QuarvoError::storage_backend_missing(), ErrorKind::StorageBackendMissing,
       "Quarvo storage backend is not installed; run `quarvo doctor --install` or rerun the Quarvo installer"},
      {QuarvoError::auto_install_unsupported("plan9 \"x\""), ErrorKind::AutoInstallUnsupported,
       "Quarvo cannot auto-install the storage backend on plan9 \"x\""},
      {QuarvoError::storage_backend_install_failed("disk\tfull"), ErrorKind::StorageBackendInstallFailed,
       "could not install the Quarvo storage backend: disk\tfull"},
      {QuarvoError::unsupported_store_url("ftp://u:pw@h/\x7f\xff"), ErrorKind::UnsupportedStoreUrl,
       "unsupported store URL \"ftp://u:****@h/\\u{7f}\uFFFD\"; use file://, s3://, gs://, or pass --storage and "
       "--bucket"},
      {QuarvoError::missing_metadata_url(), ErrorKind::MissingMetadataUrl,
       "missing metadata URL; pass --metadata or use --dev"},
      {QuarvoError::missing_object_storage(), ErrorKind::MissingObjectStorage,
       "missing object storage config; pass --store or --storage and --bucket"},
      {QuarvoError::mountpoint_not_directory("/mnt/a \"b\"/\xff"), ErrorKind::MountpointNotDirectory,
       "mountpoint /mnt/a \"b\"/\uFFFD exists and is not a directory"},
      {QuarvoError::volume_not_mounted("v\\1"), ErrorKind::VolumeNotMounted, "volume \"v\\\\1\" is not mounted"},
      {QuarvoError::mount_support_unavailable("no FUSE", "install macFUSE"), ErrorKind::MountSupportUnavailable,
       "local mount support is unavailable: no FUSE\nFix: install macFUSE"},
      {QuarvoError::command_failed({"/bin/juicefs", "format x", "exit status: 2", "out)", "err"}),
       ErrorKind::CommandFailed, "Quarvo storage backend command failed (exit status: 2)"},
      {QuarvoError::io_at_errno(std::string("/no/such\0\n", 10), ENOENT), ErrorKind::IoAt,
       "I/O error at /no/such\\x00\\n: No such file or directory (os error 2)"},
      {QuarvoError::io_at_errno("/" + std::string(300, 'e') + "\n", ENOENT), ErrorKind::IoAt,
       "I/O error at /" + std::string(199, 'e') + "... (302 characters): No such file or directory (os error 2)"},
      {QuarvoError::io_errno(EACCES), ErrorKind::Io, "Permission denied (os error 13)"},
      {QuarvoError::io(OsError::with_message(ENOENT, "could not determine home directory")), ErrorKind::Io,
       "could not determine home directory"},
      {QuarvoError::toml_parse({"TOML parse error at line 1, column 1\n  |\n1 | x\n  | ^\nboom"}), ErrorKind::TomlParse,
       "TOML parse error at line 1, column 1\n  |\n1 | x\n  | ^\nboom"},
      {QuarvoError::toml_write({"path contains invalid UTF-8 characters"}), ErrorKind::TomlWrite,
       "path contains invalid UTF-8 characters"},
      {QuarvoError::timed_out("juicefs format", std::chrono::milliseconds(2500)), ErrorKind::TimedOut,
       "juicefs format timed out after 2.5 s"},
      {QuarvoError::timed_out("x", std::chrono::milliseconds(120000)), ErrorKind::TimedOut, "x timed out after 120 s"},
      {QuarvoError::timed_out("x", std::chrono::milliseconds(5)), ErrorKind::TimedOut, "x timed out after 0.005 s"},
      {QuarvoError::interrupted(), ErrorKind::Interrupted, "interrupted"},
      {QuarvoError::volume_mounted("a b", "/mnt/x"), ErrorKind::VolumeMounted, "volume \"a b\" is mounted at /mnt/x"},
      {QuarvoError::mount_failed("a", "/m", "nothing is mounted there"), ErrorKind::MountFailed,
       "could not mount volume \"a\" at /m: nothing is mounted there"},
      {QuarvoError::volume_mismatch("b", "it holds volume \"a\""), ErrorKind::VolumeMismatch,
       "the metadata engine does not hold volume \"b\": it holds volume \"a\""},
      {QuarvoError::invalid_argument("QUARVO_HOME is set but empty"), ErrorKind::InvalidArgument,
       "QUARVO_HOME is set but empty"},
      {QuarvoError::invalid_backend_volume_name("My_Vol"), ErrorKind::InvalidBackendVolumeName,
       "the storage backend does not take the volume name \"My_Vol\"; use 3 to 63 characters: lowercase letters, "
       "digits and '-', beginning and ending with a letter or digit"},
      {QuarvoError::unsafe_path("/tmp/q\nhome", "the Quarvo home belongs to nobody", "remove it"),
       ErrorKind::UnsafePath, "/tmp/q\\nhome is not safe to use: the Quarvo home belongs to nobody; remove it"},
      {QuarvoError::flush_incomplete("a", "/m", 65536, std::chrono::milliseconds(3000)), ErrorKind::FlushIncomplete,
       "volume \"a\" was not flushed: after 3 s its mount at /m still held 65536 bytes not yet written out; writes "
       "to it did not pause"},
      {QuarvoError::volume_busy("v", "a daemon of it still runs: pid 7"), ErrorKind::VolumeBusy,
       "volume \"v\" is busy: a daemon of it still runs: pid 7"},
  };
  std::size_t next = 0;  // the kind the next new row must have
  for (const auto& [error, kind, message] : cases) {
    EXPECT_EQ(std::pair(error.kind(), error.message()), std::pair(kind, message));
    const auto index = static_cast<std::size_t>(kind);
    EXPECT_TRUE(index == next || index + 1 == next) << kind_name(kind) << " out of the table's order";
    next = index + 1;
  }
  EXPECT_EQ(next, kErrorKindCount) << "a kind without a row";
}

}  // namespace
}  // namespace quarvo
