#include <gtest/gtest.h>

#include <cerrno>

#include "error.h"

using namespace quellar;

TEST(SandboxErrorKinds, EveryKindHasItsStableCode) {
  const char* expected[] = {"input_too_large",
                            "output_too_large",
                            "stderr_too_large",
                            "relative_executable",
                            "relative_working_directory",
                            "invalid_working_directory",
                            "working_directory_not_granted",
                            "invalid_executable",
                            "relative_search_path",
                            "invalid_search_path",
                            "invalid_environment_name",
                            "forbidden_environment_variable",
                            "sandbox_enforcement_unavailable",
                            "spawn_failed",
                            "stdin_failed",
                            "execution_failed",
                            "stdout_read_failed",
                            "stderr_read_failed",
                            "timed_out",
                            "unsupported"};
  static_assert(std::size(expected) == kSandboxErrorKindCount);
  for (std::size_t i = 0; i < kSandboxErrorKindCount; ++i) {
    auto kind = static_cast<SandboxErrorKind>(i);
    EXPECT_EQ(error_code(kind), expected[i]) << "kind " << i;
    EXPECT_EQ(SandboxError::of(kind).code(), expected[i]);
  }
}

TEST(SandboxErrorKinds, MessagesAreFixedLowerCaseWithoutTrailingPunctuation) {
  for (std::size_t i = 0; i < 18; ++i) {
    auto error = SandboxError::of(static_cast<SandboxErrorKind>(i));
    std::string_view message = error.message();
    ASSERT_FALSE(message.empty()) << i;
    EXPECT_TRUE(std::islower(static_cast<unsigned char>(message.front()))) << message;
    EXPECT_NE(message.back(), '.') << message;
    EXPECT_FALSE(error.retryable());
    EXPECT_NE(error.phase(), SandboxPhase::Shutdown);
  }
  EXPECT_EQ(SandboxError::of(SandboxErrorKind::InputTooLarge).message(),
            "execution input exceeds the configured limit");
  EXPECT_EQ(SandboxError::of(SandboxErrorKind::WorkingDirectoryNotGranted).message(),
            "the working directory is outside the filesystem grants");
}

TEST(SandboxErrorConstructors, KeepTheSourceAndTheirPhase) {
  IoError source = IoError::from_errno(ENOENT);
  struct Case {
    SandboxError error;
    const char* code;
    SandboxPhase phase;
    const char* message;
  } cases[] = {
      {SandboxError::spawn(source), "spawn_failed", SandboxPhase::Spawn,
       "failed to spawn the sandboxed process"},
      {SandboxError::stdin(source), "stdin_failed", SandboxPhase::Stdin,
       "failed to write sandboxed process input"},
      {SandboxError::execution(source), "execution_failed", SandboxPhase::Wait,
       "sandboxed process execution failed"},
      {SandboxError::stdout_read(source), "stdout_read_failed", SandboxPhase::Stdout,
       "failed to read sandboxed process stdout"},
      {SandboxError::stderr_read(source), "stderr_read_failed", SandboxPhase::Stderr,
       "failed to read sandboxed process stderr"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.code(), c.code);
    EXPECT_EQ(c.error.phase(), c.phase);
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_FALSE(c.error.retryable());
    EXPECT_EQ(c.error.executable(), nullptr);
    ASSERT_TRUE(c.error.source().has_value());
    EXPECT_EQ(c.error.source()->os_error(), ENOENT);
  }
}

TEST(SandboxErrorConstructors, ContextFreeErrorsHaveNoSource) {
  EXPECT_EQ(SandboxError::enforcement_unavailable().phase(), SandboxPhase::Validate);
  EXPECT_FALSE(SandboxError::enforcement_unavailable().source().has_value());
  EXPECT_EQ(SandboxError::output_too_large().phase(), SandboxPhase::Stdout);
  EXPECT_EQ(SandboxError::output_too_large().code(), "output_too_large");
  EXPECT_EQ(SandboxError::stderr_too_large().phase(), SandboxPhase::Stderr);
  EXPECT_EQ(SandboxError::stderr_too_large().message(),
            "execution stderr exceeds the configured limit");
}

TEST(SandboxErrorContext, WithExecutableReplacesAnEarlierIdentity) {
  auto error = SandboxError::spawn(IoError::other("x"))
                   .with_executable({"/first", "/real/first"})
                   .with_executable({"/second", std::nullopt});
  ASSERT_NE(error.executable(), nullptr);
  EXPECT_EQ(error.executable()->requested, "/second");
  EXPECT_FALSE(error.executable()->canonical.has_value());
}

TEST(SandboxErrorContext, CopiesAreDeepAndIndependent) {
  auto original = SandboxError::spawn(IoError::other("x"))
                      .with_executable({"/bin/a", "/bin/a"})
                      .with_termination(termination::TimedOut{})
                      .with_stderr_tail("tail");
  SandboxError copy = original;
  original = std::move(original).with_executable({"/bin/b", std::nullopt});
  EXPECT_EQ(copy.executable()->requested, "/bin/a");
  EXPECT_EQ(original.executable()->requested, "/bin/b");
  EXPECT_EQ(termination_name(*copy.termination()), "timed_out");
  EXPECT_EQ(*copy.stderr_tail(), "tail");
}

TEST(IoErrors, DescribeOsErrorsWithTheirNumber) {
  IoError os = IoError::from_errno(EACCES);
  EXPECT_EQ(os.kind(), IoErrorKind::Os);
  EXPECT_EQ(os.describe(), os.message() + " (os error " + std::to_string(EACCES) + ")");
  EXPECT_EQ(IoError::invalid_input("bad").describe(), "bad");
  EXPECT_EQ(IoError::unsupported("no").kind(), IoErrorKind::Unsupported);
}

TEST(Records, TerminationAndEnforcementNames) {
  EXPECT_EQ(termination_name(termination::Exited{{3, std::nullopt}}), "exited");
  EXPECT_EQ(termination_name(termination::Cancelled{}), "cancelled");
  EXPECT_EQ(termination_name(termination::StdoutLimitExceeded{}), "stdout_limit_exceeded");
  EXPECT_EQ(termination_name(termination::StderrLimitExceeded{}), "stderr_limit_exceeded");
  EXPECT_EQ(enforcement_name(EnforcementLevel::Enforced), "enforced");
  EXPECT_EQ(enforcement_name(EnforcementLevel::Degraded), "degraded");
  EXPECT_EQ(enforcement_name(EnforcementLevel::Trusted), "trusted");
  EXPECT_EQ(phase_name(SandboxPhase::Wait), "Wait");
}
