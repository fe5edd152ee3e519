#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "filesystem.h"
#include "platform/launcher.h"
#include "support.h"

using namespace quellar;
using quellar::test::TempDir;

namespace {

constexpr std::string_view kExpectedMacOSBase =
    "(version 1)\n"
    "(import \"system.sb\")\n"
    "(deny default)\n"
    "(allow process-fork)\n"
    "(allow process-exec)\n"
    "(allow signal (target self))\n"
    "(allow sysctl-read)\n"
    "(allow file-read-metadata)\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/System\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/usr\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/bin\"))\n"
    "(allow file-read* file-test-existence file-map-executable (subpath \"/sbin\"))\n"
    "(allow file-read* file-test-existence (subpath \"/dev\"))\n"
    "(allow file-read* file-test-existence (subpath \"/private/var/db\"))\n";

FilesystemGrant grant(std::string path, std::vector<FilesystemAccess> access) {
  return {std::move(path), std::move(access)};
}

std::string macos_profile(const FilesystemPolicy& policy, bool disable_network) {
  auto profile = build_profile(ProfileTarget::MacOS, policy, disable_network);
  EXPECT_TRUE(profile.has_value());
  return profile.value_or("");
}

std::string read_rule(std::string_view escaped) {
  return "(allow file-read* file-test-existence file-map-executable (subpath \"" +
         std::string(escaped) + "\"))\n";
}
std::string write_rule(std::string_view escaped) {
  return "(allow file-write* (subpath \"" + std::string(escaped) + "\"))\n";
}

// Points the launcher lookup at a real regular file for the whole test.
class WithLauncher {
 public:
  explicit WithLauncher(std::optional<Path> path) {
    platform::set_sandbox_launcher_for_testing(std::move(path));
  }
  ~WithLauncher() { platform::set_sandbox_launcher_for_testing(std::nullopt); }
};

}  // namespace

TEST(MacOSProfile, BaseIsByteForByte) {
  EXPECT_EQ(base_profile(ProfileTarget::MacOS), kExpectedMacOSBase);
  EXPECT_EQ(base_profile(ProfileTarget::MacOS).size(), 597u);
}

TEST(MacOSProfile, NetworkSections) {
  std::string open = macos_profile({}, false);
  EXPECT_EQ(open, std::string(kExpectedMacOSBase) +
                      "(allow network-outbound)\n(allow network-inbound)\n");
  EXPECT_EQ(open.size() - 597, 49u);
  std::string local = macos_profile({}, true);
  EXPECT_EQ(local, std::string(kExpectedMacOSBase) +
                       "(allow network-outbound (remote unix))\n"
                       "(allow network-inbound (local unix))\n");
  EXPECT_EQ(local.size() - 597, 76u);
}

TEST(MacOSProfile, GrantRulesFollowTheCallersOrder) {
  std::string base = macos_profile({}, false);
  EXPECT_EQ(macos_profile({{grant("/tmp/work", {FilesystemAccess::Read})}}, false),
            base + read_rule("/tmp/work"));
  EXPECT_EQ(macos_profile({{grant("/tmp/work", {FilesystemAccess::Write})}}, false),
            base + read_rule("/tmp/work") + write_rule("/tmp/work"));
  EXPECT_EQ(macos_profile({{grant("/tmp/work", {FilesystemAccess::Append, FilesystemAccess::Write})}},
                          false),
            base + read_rule("/tmp/work") + write_rule("/tmp/work"));
  FilesystemPolicy two{{grant("/b", {FilesystemAccess::Write}), grant("/a", {FilesystemAccess::Read}),
                        grant("/a", {FilesystemAccess::Read})}};
  EXPECT_EQ(macos_profile(two, false),
            base + read_rule("/b") + write_rule("/b") + read_rule("/a") + read_rule("/a"));
}

TEST(MacOSProfile, PathsAreEscapedOrRefused) {
  std::string base = macos_profile({}, false);
  EXPECT_EQ(macos_profile({{grant("/tmp/a\"b\\c", {FilesystemAccess::Read})}}, false),
            base + read_rule("/tmp/a\\\"b\\\\c"));
  EXPECT_EQ(macos_profile({{grant("/tmp/tab\there", {FilesystemAccess::Read})}}, false),
            base + read_rule("/tmp/tab\there"));
  // A line break would end the rule early and let the path add rules of its own.
  for (std::string bad : {std::string("/tmp/x\n(allow default)"), std::string("/tmp/x\ry"),
                          std::string("/tmp/x\0y", 8)}) {
    auto profile = build_profile(ProfileTarget::MacOS, {{grant(bad, {FilesystemAccess::Read})}}, false);
    ASSERT_FALSE(profile);
    EXPECT_EQ(profile.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(profile.error().message(), "macOS filesystem grants cannot contain control characters");
  }
  auto invalid = build_profile(ProfileTarget::MacOS, {{grant("/tmp/\xff", {FilesystemAccess::Read})}}, false);
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error().message(), "macOS filesystem grants must contain valid UTF-8 paths");
}

TEST(LinuxProfile, SameLanguageWithLinuxSystemTrees) {
  std::string_view base = base_profile(ProfileTarget::Linux);
  EXPECT_TRUE(base.starts_with("(version 1)\n(deny default)\n"));
  EXPECT_NE(base.find("(subpath \"/usr\")"), std::string_view::npos);
  EXPECT_NE(base.find("(literal \"/dev/null\")"), std::string_view::npos);
  // Never whole trees that expose the host: /etc, /dev, /proc.
  EXPECT_EQ(base.find("(subpath \"/etc\")"), std::string_view::npos);
  EXPECT_EQ(base.find("(subpath \"/dev\")"), std::string_view::npos);
  EXPECT_EQ(base.find("(subpath \"/proc\")"), std::string_view::npos);
  auto profile = build_profile(ProfileTarget::Linux, {{grant("/w", {FilesystemAccess::Write})}}, true);
  ASSERT_TRUE(profile);
  EXPECT_TRUE(profile->ends_with("(allow network-inbound (local unix))\n" + read_rule("/w") +
                                 write_rule("/w")));
}

TEST(ValidatePolicy, GrantChecksInOrder) {
  WithLauncher launcher("/bin/sh");
  auto relative = validate_policy({{grant("rel/path", {FilesystemAccess::Read})}});
  ASSERT_FALSE(relative);
  EXPECT_EQ(relative.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(relative.error().message(), "filesystem grant must be absolute: rel/path");

  auto empty = validate_policy({{grant("/ok", {FilesystemAccess::Read}), grant("/x\xff", {})}});
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().message(), "filesystem grant has no access rights: /x\xEF\xBF\xBD");

  auto append = validate_policy({{grant("/log", {FilesystemAccess::Append, FilesystemAccess::Read})}});
  ASSERT_FALSE(append);
  EXPECT_EQ(append.error().kind(), IoErrorKind::Unsupported);
  EXPECT_EQ(append.error().message(),
            "append-only filesystem access is not enforceable for a child process; grant write "
            "explicitly: /log");

  EXPECT_TRUE(validate_policy({}).has_value());
  EXPECT_TRUE(validate_policy({{grant("/x", {FilesystemAccess::Write, FilesystemAccess::Append})}}));
}

TEST(ValidatePolicy, MissingLauncherIsUnsupportedAfterTheGrantChecks) {
  TempDir dir;
  WithLauncher launcher(dir / "no-launcher");
  auto empty = validate_policy({});
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().kind(), IoErrorKind::Unsupported);
  // A bad grant is reported before the launcher is looked up.
  auto relative = validate_policy({{grant("rel", {FilesystemAccess::Read})}});
  EXPECT_EQ(relative.error().kind(), IoErrorKind::InvalidInput);
  // A directory is not a launcher.
  WithLauncher directory(dir.path());
  EXPECT_FALSE(validate_policy({}).has_value());
}

TEST(WrapCommand, RunsTheProgramUnderTheLauncher) {
  WithLauncher launcher("/bin/sh");
  Command command("/usr/bin/env");
  command.args = {"a", "b c"};
  command.environment["X"] = "1";
  command.cwd = "/tmp";
  ASSERT_TRUE(wrap_command(command, {{grant("/tmp/w", {FilesystemAccess::Read})}}, false));
  EXPECT_EQ(command.program, "/bin/sh");
  EXPECT_TRUE(command.sandboxed);
  ASSERT_EQ(command.args.size(), 5u);
  EXPECT_EQ(command.args[0], "-p");
  auto expected = build_profile(kHostProfileTarget, {{grant("/tmp/w", {FilesystemAccess::Read})}}, false);
  EXPECT_EQ(command.args[1], *expected);
  EXPECT_EQ(command.args[2], "/usr/bin/env");
  EXPECT_EQ(command.args[3], "a");
  EXPECT_EQ(command.args[4], "b c");
  // Everything but program and arguments is discarded.
  EXPECT_TRUE(command.environment.empty());
  EXPECT_FALSE(command.cwd.has_value());
}

TEST(WrapCommand, NetworkOnlyWrappingHasNoGrantRules) {
  WithLauncher launcher("/bin/sh");
  Command command("/bin/true");
  ASSERT_TRUE(wrap_command(command, {}, true));
  EXPECT_EQ(command.args[1], *build_profile(kHostProfileTarget, {}, true));
  EXPECT_EQ(command.args[2], "/bin/true");
}

TEST(WrapCommand, FailuresLeaveOrInvalidateTheCommandAsDocumented) {
  WithLauncher launcher("/bin/sh");
  Command command("/bin/true");
  command.args = {"x"};
  // A validation failure leaves the command untouched.
  EXPECT_FALSE(wrap_command(command, {{grant("rel", {FilesystemAccess::Read})}}, false));
  EXPECT_EQ(command.program, "/bin/true");
  EXPECT_EQ(command.args, std::vector<std::string>{"x"});
  // A profile failure leaves only the launcher, marked as sandboxed.
  EXPECT_FALSE(wrap_command(command, {{grant("/a\nb", {FilesystemAccess::Read})}}, false));
  EXPECT_EQ(command.program, "/bin/sh");
  EXPECT_TRUE(command.args.empty());
}

TEST(ValidatePolicy, NoWriteGrantMayHoldTheLauncher) {
  TempDir dir;
  std::string home = dir.make_dir("venv");
  std::string launcher = dir.make_file("venv/quellar-sandbox", "", 0755);
  dir.make_symlink("alias", home);
  dir.make_dir("work");
  WithLauncher use(launcher);
  // The directory itself, a parent of it, or either reached through a link:
  // a contained command could replace the launcher for every later run.
  for (const std::string& granted : {home, dir.path(), dir / "alias", launcher}) {
    auto refused = validate_policy({{grant(granted, {FilesystemAccess::Write})}});
    ASSERT_FALSE(refused) << granted;
    EXPECT_EQ(refused.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(refused.error().path(), granted);
    EXPECT_NE(refused.error().message().find("sandbox launcher"), std::string::npos);
  }
  // Reading it is harmless; writing elsewhere too.
  EXPECT_TRUE(validate_policy({{grant(home, {FilesystemAccess::Read})}}));
  EXPECT_TRUE(validate_policy({{grant(dir / "work", {FilesystemAccess::Write})}}));
}

TEST(ValidatePolicy, ALauncherOthersCouldRewriteIsRefused) {
  TempDir dir;
  std::string home = dir.make_dir("lib");
  std::string launcher = dir.make_file("lib/quellar-sandbox", "", 0755);
  WithLauncher use(launcher);
  ASSERT_TRUE(validate_policy({}));
  for (mode_t file_mode : {0775, 0757}) {
    ASSERT_EQ(::chmod(launcher.c_str(), file_mode), 0);
    auto refused = validate_policy({});
    ASSERT_FALSE(refused) << std::oct << file_mode;
    EXPECT_EQ(refused.error().path(), launcher);
  }
  ASSERT_EQ(::chmod(launcher.c_str(), 0755), 0);
  // A directory others may write lets them rename a file into its place,
  // unless it is sticky.
  ASSERT_EQ(::chmod(home.c_str(), 0777), 0);
  EXPECT_FALSE(validate_policy({}));
  ASSERT_EQ(::chmod(home.c_str(), 01777), 0);
  EXPECT_TRUE(validate_policy({}));
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(launcher.c_str(), 12345, 12345), 0);
    EXPECT_FALSE(validate_policy({}));
  }
}
