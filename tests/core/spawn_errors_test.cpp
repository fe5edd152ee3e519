// Spawn failures that explain themselves: the OS error, the one path at
// fault, and, when the sandbox launcher refused, the step it refused at.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/launcher_protocol.h"
#include "platform/process.h"
#include "support.h"

using namespace quellar;
using quellar::test::TempDir;

namespace {

IoError spawn_error(const Command& command) {
  auto spawned = platform::spawn_process(command);
  EXPECT_FALSE(spawned) << command.program;
  return spawned ? IoError::other("spawned") : spawned.error();
}

std::string record(launcher::Stage stage, int error, std::string path, std::string detail) {
  launcher::StatusHeader header{static_cast<std::int32_t>(stage), error,
                                static_cast<std::uint32_t>(path.size()),
                                static_cast<std::uint32_t>(detail.size())};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + path + detail;
}

}  // namespace

TEST(SpawnErrors, NameThePathAtFault) {
  TempDir dir;
  Command missing_cwd("/bin/true");
  missing_cwd.cwd = dir / "gone";
  IoError cwd = spawn_error(missing_cwd);
  EXPECT_EQ(cwd.os_error(), ENOENT);
  EXPECT_EQ(cwd.path(), dir / "gone");

  // The program, under the name the caller gave it.
  std::string plain = dir.make_file("plain", "#!/bin/sh\n", 0644);
  Command not_executable(plain);
  not_executable.program_arg0 = dir / "link-to-plain";
  IoError program = spawn_error(not_executable);
  EXPECT_EQ(program.os_error(), EACCES);
  EXPECT_EQ(program.path(), dir / "link-to-plain");

  // Nobody's path: an argument list the kernel refuses as too long.
  Command too_long("/bin/true");
  too_long.args.assign(64, std::string(128 * 1024, 'x'));
  IoError arguments = spawn_error(too_long);
  EXPECT_EQ(arguments.os_error(), E2BIG);
  EXPECT_FALSE(arguments.path().has_value());
}

TEST(SpawnErrors, TheLaunchersReportKeepsItsStepAndPath) {
  using launcher::Stage;
  auto grant = platform::decode_launcher_status(
      record(Stage::Grant, ELOOP, "/work/link", "the filesystem grant /work/link is a link"));
  ASSERT_FALSE(grant);
  EXPECT_EQ(grant.error().os_error(), ELOOP);
  EXPECT_EQ(grant.error().stage(), "grant");
  EXPECT_EQ(grant.error().path(), "/work/link");
  EXPECT_NE(grant.error().message().find("is a link"), std::string::npos);

  // An exec failure reads exactly as a direct spawn's would, plus its step.
  auto exec = platform::decode_launcher_status(record(Stage::Exec, ENOENT, "/usr/bin/gone", ""));
  ASSERT_FALSE(exec);
  EXPECT_EQ(exec.error().message(), IoError::from_errno(ENOENT).message());
  EXPECT_EQ(exec.error().stage(), "exec");
  EXPECT_EQ(exec.error().path(), "/usr/bin/gone");

  // Nothing written: the program runs. A record cut short is no report.
  EXPECT_TRUE(platform::decode_launcher_status(""));
  std::string whole = record(Stage::Enforce, EPERM, "", "landlock_restrict_self");
  auto cut = platform::decode_launcher_status(std::string_view(whole).substr(0, whole.size() - 1));
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().kind(), IoErrorKind::Other);
}
