// The launcher's profile reader and its Landlock rights, in process: it must
// read every profile the generator writes, exactly, and refuse everything
// else.
#include <gtest/gtest.h>

#include "filesystem.h"
#include "landlock_abi.h"
#include "landlock_rights.h"
#include "profile.h"

using namespace quellar;
using namespace quellar::sandbox;
using namespace std::string_literals;

namespace {

std::string generated(const FilesystemPolicy& policy, bool disable_network) {
  auto profile = build_profile(ProfileTarget::Linux, policy, disable_network);
  EXPECT_TRUE(profile.has_value());
  return profile.value_or("");
}

SandboxProfile parsed(std::string_view text) {
  auto profile = parse_profile(text);
  EXPECT_TRUE(profile.has_value()) << (profile ? "" : profile.error().message) << "\n" << text;
  return profile.value_or(SandboxProfile{});
}

// The refusal message, or "" when the text was accepted.
std::string refusal(std::string_view text) {
  auto profile = parse_profile(text);
  if (profile) return "";
  EXPECT_EQ(profile.error().stage, launcher::Stage::Profile);
  EXPECT_EQ(profile.error().error, 0);
  return profile.error().message;
}

constexpr std::string_view kHead = "(version 1)\n(deny default)\n";

std::vector<PathRule> base_rules() { return parsed(base_profile(ProfileTarget::Linux)).rules; }

}  // namespace

TEST(LauncherProfile, ReadsTheGeneratedLinuxProfile) {
  SandboxProfile open = parsed(generated({}, false));
  EXPECT_TRUE(open.network);
  SandboxProfile closed = parsed(generated({}, true));
  EXPECT_FALSE(closed.network);
  EXPECT_EQ(open.rules, closed.rules);

  // System trees: read and execute, whole hierarchies. Single /etc files:
  // read only, that file only. Devices: read and write.
  std::vector<PathRule> rules = base_rules();
  auto find = [&](std::string_view path) -> PathRule {
    for (const PathRule& r : rules) {
      if (r.path == path) return r;
    }
    ADD_FAILURE() << "no rule for " << path;
    return {};
  };
  // All of them the system's own paths, whose links (/bin on a merged /usr)
  // are followed.
  EXPECT_EQ(find("/usr"), (PathRule{"/usr", true, kAccessRead | kAccessExecute, true}));
  EXPECT_EQ(find("/etc/passwd"), (PathRule{"/etc/passwd", false, kAccessRead, true}));
  EXPECT_EQ(find("/dev/null"), (PathRule{"/dev/null", false, kAccessRead | kAccessWrite, true}));
  EXPECT_EQ(find("/sys/devices/system/cpu"), (PathRule{"/sys/devices/system/cpu", true, kAccessRead, true}));
  for (const PathRule& r : rules) {
    EXPECT_FALSE(r.path == "/etc" || r.path == "/dev" || r.path == "/proc" || r.path == "/")
        << "a whole host tree is granted: " << r.path;
  }
}

TEST(LauncherProfile, GrantsBecomeRulesInOrderWithTheirPathsUnescaped) {
  FilesystemPolicy policy{{
      {"/work/a \"quoted\" \\ dir\twith tab", {FilesystemAccess::Write}},
      {"/data/\xc3\xa9t\xc3\xa9", {FilesystemAccess::Read}},
  }};
  SandboxProfile profile = parsed(generated(policy, true));
  // Grants are the caller's: named literally, never through a link.
  std::vector<PathRule> expected = base_rules();
  expected.push_back({"/work/a \"quoted\" \\ dir\twith tab", true, kAccessRead | kAccessExecute});
  expected.push_back({"/work/a \"quoted\" \\ dir\twith tab", true, kAccessWrite});
  expected.push_back({"/data/\xc3\xa9t\xc3\xa9", true, kAccessRead | kAccessExecute});
  EXPECT_EQ(profile.rules, expected);
  EXPECT_FALSE(profile.network);
}

TEST(LauncherProfile, RefusesWhatTheGeneratorNeverWrites) {
  const std::string head(kHead);
  const std::string rule = "(allow file-read* (subpath \"/x\"))";
  struct Case {
    std::string text;
    std::string_view reason;
  };
  const Case cases[] = {
      {"", "empty profile"},
      {"(deny default)\n" + rule, "no version"},
      {"(version 2)\n(deny default)\n", "unknown version"},
      {"(version 1)\n" + rule, "no deny default"},
      {"(version 1)\n(allow default)\n", "allow default"},
      {head + "(import \"system.sb\")", "import of another file"},
      {head + "(deny file-write* (subpath \"/x\"))", "deny rule"},
      {head + "(allow file-ioctl (subpath \"/x\"))", "unknown operation"},
      {head + "(allow sysctl-read)", "macOS-only operation"},
      {head + "(allow file-read* (regex \"^/x\"))", "unknown filter"},
      {head + "(allow file-read* (subpath \"/x\" \"/y\"))", "filter with two strings"},
      {head + "(allow file-read* (subpath x))", "filter with a symbol"},
      {head + "(allow file-read* (subpath \"relative\"))", "relative path"},
      {head + "(allow file-read* (subpath \"\"))", "empty path"},
      {head + "(allow file-read*)", "file operation without a path"},
      {head + "(allow process-fork (subpath \"/x\"))", "path on a global operation"},
      {head + "(allow signal)", "signal without target"},
      {head + "(allow signal (target others))", "signal to others"},
      {head + "(allow network-outbound (remote tcp))", "remote tcp"},
      {head + "(allow network-inbound (remote unix))", "inbound with a remote filter"},
      {head + "(allow file-read* (subpath \"/x\") file-write*)", "operation after the filter"},
      {head + "(allow file-read* (subpath \"/x\") (subpath \"/y\"))", "two filters"},
      {head + "(allow \"file-read*\" (subpath \"/x\"))", "string as operation"},
      {head + "(allow)", "no operation"},
      {head + "()", "empty form"},
      {head + "allow", "bare symbol at top level"},
      {head + "(allow file-read* (subpath \"/x\")", "unclosed form"},
      {head + rule + ")", "extra closing parenthesis"},
      {head + "(allow file-read* (subpath (literal \"/x\")))", "nesting too deep"},
      {head + "(allow file-read* (subpath \"/x))", "unterminated string"},
      {head + "(allow file-read* (subpath \"/x\\n\"))", "escape other than quote or backslash"},
      {head + "(allow file-read* (subpath \"/x\\", "escape at the end"},
      {head + "(allow file-read* (subpath \"/x\ny\"))", "line feed in a string"},
      {head + "(allow file-read* (subpath \"/x\ry\"))", "carriage return in a string"},
      {head + "(allow file-read* (subpath \"/x\0y\"))"s, "NUL in a string"},
      {head + "(allow file-read* (subpath \"/\xff\"))", "invalid UTF-8"},
      {head + "(allow file-read* (subpath \"/\xc0\xaf\"))", "overlong UTF-8"},
      {head + "(allow file-read* (subpath \"/\xed\xa0\x80\"))", "UTF-8 surrogate"},
      {head + "; comment\n", "comment"},
      {head + "(allow file-read*(subpath \"/x\"))", "items not separated"},
      {head + "(allow file-read* (subpath \"/x\"\"/y\"))", "strings not separated"},
      {head + "(Allow file-read* (subpath \"/x\"))", "upper case"},
      {head + "(allow file-read* (subpath \"/x\")) #", "stray character"},
  };
  for (const Case& c : cases) {
    EXPECT_NE(refusal(c.text), "") << c.reason << ": accepted\n" << c.text;
  }
  // The message says where, for whoever reads the launcher's line.
  EXPECT_EQ(refusal(head + "(allow file-ioctl (subpath \"/x\"))"),
            "profile refused: at byte 34: unknown operation \"file-ioctl\"");
}

TEST(LauncherProfile, NetworkIsOpenOnlyWhenBothDirectionsAreUnfiltered) {
  const std::string head(kHead);
  EXPECT_TRUE(parsed(head + "(allow network-outbound)\n(allow network-inbound)\n").network);
  EXPECT_FALSE(parsed(head + "(allow network-outbound)\n").network);
  EXPECT_FALSE(parsed(head + "(allow network-inbound)\n").network);
  EXPECT_FALSE(parsed(head + "(allow network-outbound)\n(allow network-inbound (local unix))\n").network);
  EXPECT_FALSE(parsed(head).network);
}

// Every prefix of a generated profile is either refused or grants a subset
// of what the whole profile grants: a text cut short can never widen access.
TEST(LauncherProfile, TruncatedProfilesNeverGrantMore) {
  FilesystemPolicy policy{{{"/w", {FilesystemAccess::Write}}, {"/r\"q", {FilesystemAccess::Read}}}};
  std::string text = generated(policy, true);
  SandboxProfile whole = parsed(text);
  for (size_t n = 0; n < text.size(); ++n) {
    auto part = parse_profile(std::string_view(text).substr(0, n));
    if (!part) continue;
    EXPECT_FALSE(part->network);
    ASSERT_LE(part->rules.size(), whole.rules.size());
    for (size_t i = 0; i < part->rules.size(); ++i) {
      const PathRule& cut = part->rules[i];
      const PathRule& full = whole.rules[i];
      EXPECT_EQ(std::tie(cut.path, cut.beneath, cut.access), std::tie(full.path, full.beneath, full.access)) << n;
      // A cut base profile is no longer the base profile: its rules are
      // then taken literally, which grants less, never more.
      EXPECT_LE(cut.system, full.system) << n;
    }
  }
}

TEST(LandlockRights, RulesStayWithinWhatEachAbiHandles) {
  const std::uint64_t device_nodes = LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_BLOCK;
  for (int abi = 1; abi <= 9; ++abi) {
    for (bool network : {false, true}) {
      HandledRights handled = handled_rights(abi, network);
      for (unsigned access = 1; access <= (kAccessRead | kAccessExecute | kAccessWrite); ++access) {
        for (bool directory : {false, true}) {
          std::uint64_t rights = rule_rights(access, handled.fs, directory);
          // The kernel refuses a rule with a right its ruleset does not handle.
          EXPECT_EQ(rights & ~handled.fs, 0u) << abi;
          EXPECT_EQ(rights & device_nodes, 0u) << "device nodes granted, ABI " << abi;
          if (!directory) {
            EXPECT_EQ(rights & ~file_rights(), 0u) << "directory right on a file";
          }
        }
      }
      // Handled but never granted: creating device nodes is denied everywhere.
      EXPECT_EQ(handled.fs & device_nodes, device_nodes);
      EXPECT_EQ(handled.net != 0, abi >= 4 && !network) << abi;
      EXPECT_EQ((handled.scoped & LANDLOCK_SCOPE_SIGNAL) != 0, abi >= 6) << abi;
      EXPECT_EQ((handled.scoped & LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET) != 0, abi >= 6 && !network);
    }
  }
  // What each ABI added is handled from that ABI on, and not before.
  EXPECT_FALSE(handled_rights(1, false).fs & LANDLOCK_ACCESS_FS_REFER);
  EXPECT_TRUE(handled_rights(2, false).fs & LANDLOCK_ACCESS_FS_REFER);
  EXPECT_FALSE(handled_rights(2, false).fs & LANDLOCK_ACCESS_FS_TRUNCATE);
  EXPECT_TRUE(handled_rights(3, false).fs & LANDLOCK_ACCESS_FS_TRUNCATE);
  EXPECT_FALSE(handled_rights(4, false).fs & LANDLOCK_ACCESS_FS_IOCTL_DEV);
  EXPECT_TRUE(handled_rights(5, false).fs & LANDLOCK_ACCESS_FS_IOCTL_DEV);
  EXPECT_FALSE(handled_rights(8, false).fs & LANDLOCK_ACCESS_FS_RESOLVE_UNIX);
  EXPECT_TRUE(handled_rights(9, true).fs & LANDLOCK_ACCESS_FS_RESOLVE_UNIX);
  // A write grant on a directory carries every handled right but the device
  // nodes; a read grant does not reach the sockets in it.
  HandledRights latest = handled_rights(9, false);
  EXPECT_EQ(rule_rights(kAccessRead | kAccessExecute | kAccessWrite, latest.fs, true),
            latest.fs & ~device_nodes);
  EXPECT_FALSE(rule_rights(kAccessRead | kAccessExecute, latest.fs, true) & LANDLOCK_ACCESS_FS_RESOLVE_UNIX);
}
