#include "quarvo/cli/status_text.hpp"

#include <gtest/gtest.h>

#include "quarvo/core/processes.hpp"

namespace quarvo {
namespace {

// A record as the registry gives it, with what the checks find at its
// mountpoint, or one that cannot be read (`why`).
struct Record {
  std::string name;
  std::optional<std::string> mountpoint;
  MountCheck check;
  std::string why;
  std::optional<VolumeIntent> intent{};
};

StatusText render(const std::vector<Record>& records, const StatusTextOptions& options) {
  StatusWriter writer(options);
  std::vector<MountCheck> checks;
  for (const Record& r : records) {
    Volume v{r.name, "", "redis://:pw@h:6379/1", "s3", "https://b.example/q", false, r.mountpoint, "", ""};
    v.intent = r.intent;
    const QuarvoError error = QuarvoError::volume_mismatch(r.name, r.why);
    writer.add(r.name, r.why.empty() ? &v : nullptr, r.why.empty() ? nullptr : &error);
    if (r.mountpoint) checks.push_back(r.check);
  }
  return std::move(writer).finish(checks, QuarvoHome("/h"));
}

std::vector<Record> listing() {
  return {{"caf\xC3\xA9", "/mnt/c", {LiveState::Mounted, ""}, ""},
          {"b\nx", std::nullopt, {}, ""},
          {"gone", "/mnt/g", {LiveState::NotMounted, ""}, ""},
          {"dead", "/mnt/d", {LiveState::Stale, ""}, ""},
          {"over", "/mnt/o", {LiveState::Foreign, "tmpfs"}, ""},
          // A step under way shows as such, over what the check found.
          {"busy", "/mnt/u", {LiveState::Mounted, ""}, "", VolumeIntent{"unmount", "/mnt/u", own_owner(), ""}},
          {"bad", std::nullopt, {}, "see redis://:pw@h/2\n\tnext"}};
}

TEST(StatusText, TableAlignsByCharactersEscapesAndColoursTheState) {
  const StatusText t = render(listing(), {.colour = true});
  EXPECT_EQ(
      t.out,
      "NAME   KIND     STATE         MOUNTPOINT   STORAGE                  METADATA\n"
      "caf\xC3\xA9   shared   \x1b[32mmounted\x1b[0m       /mnt/c       s3 https://b.example/q   "
      "redis://:****@h:6379/1\n"
      "b\\nx   shared   -             -            s3 https://b.example/q   redis://:****@h:6379/1\n"
      "gone   shared   \x1b[33mnot mounted\x1b[0m   /mnt/g       s3 https://b.example/q   redis://:****@h:6379/1\n"
      "dead   shared   \x1b[33mstale\x1b[0m         /mnt/d       s3 https://b.example/q   redis://:****@h:6379/1\n"
      "over   shared   \x1b[31mforeign\x1b[0m       /mnt/o       s3 https://b.example/q   redis://:****@h:6379/1\n"
      "busy   shared   \x1b[33munmounting\x1b[0m    /mnt/u       s3 https://b.example/q   redis://:****@h:6379/1\n"
      "bad    -        \x1b[31mbroken\x1b[0m        -            -                        -\n");
  EXPECT_TRUE(t.broken);
  EXPECT_EQ(t.err,
            "hint: gone, dead are recorded as mounted but not served (after a restart, or the mount's daemon died); "
            "run `quarvo mount --all` to mount them again\n"
            "hint: another file system (tmpfs) is mounted at /mnt/o, where over is recorded; "
            "`quarvo unmount over` clears the record\n"
            "quarvo: error: the record of \"bad\" cannot be read: /h/volumes/bad.toml\n"
            "  the metadata engine does not hold volume \"bad\": see redis://:****@h/2\n"
            "  \\tnext\n");
}

TEST(StatusText, JsonIsPythonsIndentedDocument) {
  std::vector<Record> all = listing();
  // A step whose owner is gone (a start its pid never had): interrupted.
  all[1].intent = VolumeIntent{"mount", "/mnt/b", std::to_string(::getpid()) + ":1", "2026-12-05T07:08:08Z"};
  const StatusText t = render({all[0], all[1], all.back()}, {.json = true, .show_secrets = true});
  EXPECT_EQ(t.out, R"({
  "volumes": [
    {
      "name": "café",
      "metadata_url": "redis://:pw@h:6379/1",
      "storage": "s3",
      "bucket": "https://b.example/q",
      "dev": false,
      "intent": null,
      "mountpoint": "/mnt/c",
      "state": "mounted",
      "found": null
    },
    {
      "name": "b\nx",
      "metadata_url": "redis://:pw@h:6379/1",
      "storage": "s3",
      "bucket": "https://b.example/q",
      "dev": false,
      "intent": {
        "step": "mount",
        "mountpoint": "/mnt/b",
        "since": "2026-12-05T07:08:08Z",
        "live": false
      },
      "mountpoint": null,
      "state": "interrupted",
      "found": null
    }
  ],
  "broken": [
    {
      "name": "bad",
      "path": "/h/volumes/bad.toml",
      "error": "the metadata engine does not hold volume \"bad\": see redis://:pw@h/2\n\tnext"
    }
  ]
}
)");
  EXPECT_EQ(render({}, {.json = true}).out, "{\n  \"volumes\": []\n}\n");
  EXPECT_EQ(render({}, {}).err, "no volumes; create one with `quarvo init NAME --dev`\n");
  EXPECT_EQ(render({}, {.named = true}).err, "");
}

}  // namespace
}  // namespace quarvo
