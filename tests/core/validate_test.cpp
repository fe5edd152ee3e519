#include <gtest/gtest.h>

#include <cerrno>

#include "support.h"
#include "supervisor/validate.h"

using namespace quellar;
using quellar::test::TempDir;

namespace {

ExecutionRequest request_for(std::string executable) {
  ExecutionRequest request;
  request.executable = std::move(executable);
  return request;
}

FilesystemPolicy grants(std::initializer_list<std::pair<std::string, std::vector<FilesystemAccess>>> list) {
  FilesystemPolicy policy;
  for (const auto& [path, access] : list) policy.grants.push_back({path, access});
  return policy;
}

SandboxErrorKind failure(const ExecutionRequest& request, std::string_view input = {}) {
  auto result = validate_request(request, input);
  EXPECT_FALSE(result.has_value());
  if (result) return SandboxErrorKind::Unsupported;
  EXPECT_EQ(result.error().phase(), SandboxPhase::Validate);
  EXPECT_EQ(result.error().executable(), nullptr);
  return result.error().kind();
}

}  // namespace

TEST(ValidateRequest, ChecksRunInOrderAndTheFirstFailureWins) {
  auto request = request_for("bin/sh");
  request.cwd = "relative";
  EXPECT_EQ(failure(request), SandboxErrorKind::RelativeExecutable);

  request.executable = "/does/not/exist";
  EXPECT_EQ(failure(request), SandboxErrorKind::RelativeWorkingDirectory);

  request.cwd.reset();
  request.max_stdin_bytes = 4;
  // Input size is checked before the executable is looked at.
  EXPECT_EQ(failure(request, "12345"), SandboxErrorKind::InputTooLarge);
  EXPECT_EQ(failure(request, "1234"), SandboxErrorKind::InvalidExecutable);
}

TEST(ValidateRequest, InputOfExactlyTheLimitPasses) {
  auto request = request_for("/bin/sh");
  request.max_stdin_bytes = 3;
  EXPECT_TRUE(validate_request(request, "abc").has_value());
  EXPECT_EQ(failure(request, "abcd"), SandboxErrorKind::InputTooLarge);
}

TEST(ValidateRequest, ResolvesTheExecutableThroughLinksAndKeepsTheRequestedSpelling) {
  TempDir dir;
  std::string target = dir.make_file("tool", "#!/bin/sh\n", 0755);
  std::string link = dir.make_symlink("link", target);
  dir.make_dir("sub");

  auto identity = validate_request(request_for(link), "");
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->requested, link);
  EXPECT_EQ(identity->canonical, target);

  std::string dotted = dir.path() + "/sub/../tool";
  identity = validate_request(request_for(dotted), "");
  ASSERT_TRUE(identity.has_value());
  EXPECT_EQ(identity->requested, dotted);
  EXPECT_EQ(identity->canonical, target);
}

TEST(ValidateRequest, ExecutableFailuresCarryTheirSource) {
  TempDir dir;
  auto missing = validate_request(request_for(dir / "missing"), "");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), SandboxErrorKind::InvalidExecutable);
  EXPECT_EQ(missing.error().message(), "the executable could not be resolved");
  EXPECT_EQ(missing.error().source()->os_error(), ENOENT);

  auto directory = validate_request(request_for(dir.path()), "");
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().kind(), SandboxErrorKind::InvalidExecutable);
  EXPECT_EQ(directory.error().source()->kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(directory.error().source()->message(), "executable is not a regular file");

  auto nul = validate_request(request_for(std::string("/bin/s\0h", 8)), "");
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().kind(), SandboxErrorKind::InvalidExecutable);
  EXPECT_EQ(nul.error().source()->message(), "file name contained an unexpected NUL byte");

  // No permission bit is checked here: a non-executable file passes.
  std::string plain = dir.make_file("plain", "data", 0644);
  EXPECT_TRUE(validate_request(request_for(plain), "").has_value());
}

TEST(ValidateRequest, HostilePathsAreRefusedWithoutCrashing) {
  EXPECT_EQ(failure(request_for("")), SandboxErrorKind::RelativeExecutable);
  EXPECT_EQ(failure(request_for("/" + std::string(70000, 'a'))), SandboxErrorKind::InvalidExecutable);
  EXPECT_EQ(failure(request_for("/\xff\xfe/\x80")), SandboxErrorKind::InvalidExecutable);
  auto request = request_for("/bin/sh");
  request.cwd = std::string("/tmp\0/x", 7);
  request.policy.filesystem = grants({{"/", {FilesystemAccess::Read}}});
  EXPECT_EQ(failure(request), SandboxErrorKind::InvalidWorkingDirectory);
}

TEST(ValidateRequest, WorkingDirectoryIsCheckedOnlyUnderAFilesystemPolicy) {
  auto request = request_for("/bin/sh");
  request.cwd = "/does/not/exist";
  EXPECT_TRUE(validate_request(request, "").has_value());

  request.policy.filesystem = FilesystemPolicy{};
  auto result = validate_request(request, "");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), SandboxErrorKind::InvalidWorkingDirectory);
  EXPECT_EQ(result.error().source()->os_error(), ENOENT);

  // Without a working directory the grants are not consulted.
  request.cwd.reset();
  EXPECT_TRUE(validate_request(request, "").has_value());
}

TEST(ValidateRequest, WorkingDirectoryMustBeADirectory) {
  TempDir dir;
  auto request = request_for("/bin/sh");
  request.cwd = dir.make_file("file");
  request.policy.filesystem = grants({{dir.path(), {FilesystemAccess::Read}}});
  auto result = validate_request(request, "");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), SandboxErrorKind::InvalidWorkingDirectory);
  EXPECT_EQ(result.error().source()->message(), "working directory is not a directory");
}

TEST(ValidateRequest, GrantsMatchWholePathComponents) {
  TempDir dir;
  std::string data = dir.make_dir("data");
  std::string projects = dir.make_dir("data/projects");
  std::string database = dir.make_dir("database");

  auto request = request_for("/bin/sh");
  request.policy.filesystem = grants({{data, {FilesystemAccess::Read}}});
  request.cwd = projects;
  EXPECT_TRUE(validate_request(request, "").has_value());
  request.cwd = data;
  EXPECT_TRUE(validate_request(request, "").has_value());
  request.cwd = database;
  EXPECT_EQ(failure(request), SandboxErrorKind::WorkingDirectoryNotGranted);
}

TEST(ValidateRequest, GrantsAndWorkingDirectoryAreComparedResolved) {
  TempDir dir;
  std::string data = dir.make_dir("data");
  dir.make_dir("data/work");
  std::string via_link = dir.make_symlink("shortcut", data + "/work");
  std::string grant_link = dir.make_symlink("data-link", data);

  auto request = request_for("/bin/sh");
  request.cwd = via_link;
  request.policy.filesystem = grants({{grant_link, {FilesystemAccess::Write}}});
  EXPECT_TRUE(validate_request(request, "").has_value());
}

TEST(ValidateRequest, EmptyAndUnresolvableGrantsGrantNothing) {
  TempDir dir;
  std::string work = dir.make_dir("work");
  auto request = request_for("/bin/sh");
  request.cwd = work;

  request.policy.filesystem = grants({{work, {}}});
  EXPECT_EQ(failure(request), SandboxErrorKind::WorkingDirectoryNotGranted);

  request.policy.filesystem = FilesystemPolicy{};
  EXPECT_EQ(failure(request), SandboxErrorKind::WorkingDirectoryNotGranted);

  // A grant that does not exist is skipped silently; the next one still counts.
  request.policy.filesystem =
      grants({{dir / "gone", {FilesystemAccess::Read}}, {"relative", {FilesystemAccess::Read}},
              {dir.path(), {FilesystemAccess::Read}}});
  EXPECT_TRUE(validate_request(request, "").has_value());
}

TEST(PathWithin, ComparesComponents) {
  EXPECT_TRUE(path_within("/data", "/data"));
  EXPECT_TRUE(path_within("/data/projects", "/data"));
  EXPECT_FALSE(path_within("/database", "/data"));
  EXPECT_FALSE(path_within("/dat", "/data"));
  EXPECT_TRUE(path_within("/anything", "/"));
  EXPECT_TRUE(path_within("/", "/"));
}
