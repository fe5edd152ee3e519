#include <gtest/gtest.h>

#include <cstdlib>

#include "environment.h"

using namespace quellar;

namespace {

SandboxErrorKind refusal(const EnvironmentPolicy& policy) {
  Command command("/bin/true");
  command.environment["KEEP"] = "untouched";
  auto result = apply_environment_policy(command, policy);
  EXPECT_FALSE(result.has_value());
  if (result) return SandboxErrorKind::Unsupported;
  EXPECT_EQ(result.error().phase(), SandboxPhase::Validate);
  EXPECT_FALSE(result.error().source().has_value());
  EXPECT_EQ(result.error().executable(), nullptr);
  EXPECT_EQ(validate_environment_policy(policy).error().kind(), result.error().kind());
  return result.error().kind();
}

}  // namespace

TEST(EnvironmentPolicy, StartsFromNothing) {
  ::setenv("QUELLAR_TEST_PARENT", "1", 1);
  Command command("/bin/true");
  command.environment["STALE"] = "x";
  ASSERT_TRUE(apply_environment_policy(command, {}).has_value());
  EXPECT_TRUE(command.environment.empty());
}

TEST(EnvironmentPolicy, InheritsListedNamesAndExplicitValuesWin) {
  ::setenv("QUELLAR_TEST_A", "from-parent", 1);
  ::setenv("QUELLAR_TEST_EMPTY", "", 1);
  ::setenv("QUELLAR_TEST_B", "parent-b", 1);
  ::unsetenv("QUELLAR_TEST_MISSING");
  EnvironmentPolicy policy;
  policy.inherited_names = {"QUELLAR_TEST_A", "QUELLAR_TEST_EMPTY", "QUELLAR_TEST_MISSING",
                            "QUELLAR_TEST_B"};
  policy.variables = {{"QUELLAR_TEST_B", "explicit"}, {"OTHER", "v=with=equals"}};
  // Read on the requesting thread; a later change of the environment does
  // not reach the child.
  read_inherited_environment(policy);
  ::setenv("QUELLAR_TEST_A", "changed-later", 1);

  Command command("/bin/true");
  ASSERT_TRUE(apply_environment_policy(command, policy).has_value());
  std::map<std::string, std::string> expected = {{"QUELLAR_TEST_A", "from-parent"},
                                                 {"QUELLAR_TEST_EMPTY", ""},
                                                 {"QUELLAR_TEST_B", "explicit"},
                                                 {"OTHER", "v=with=equals"}};
  EXPECT_EQ(command.environment, expected);
}

TEST(EnvironmentPolicy, RefusesLoaderInjectionNames) {
  for (const char* name : {"LD_PRELOAD", "LD_AUDIT", "LD_DEBUG", "LD_LIBRARY_PATH",
                           "DYLD_INSERT_LIBRARIES", "DYLD_", "DYLD_LIBRARY_PATH"}) {
    EnvironmentPolicy policy;
    policy.variables[name] = "x";
    EXPECT_EQ(refusal(policy), SandboxErrorKind::ForbiddenEnvironmentVariable) << name;
  }
  // Exact, case-sensitive comparisons.
  EnvironmentPolicy accepted;
  accepted.variables = {{"dyld_insert_libraries", "x"}, {"LD_PRELOAD_X", "y"}, {"DYLD", "z"}};
  Command command("/bin/true");
  EXPECT_TRUE(apply_environment_policy(command, accepted).has_value());
  EXPECT_EQ(command.environment.size(), 3u);
}

TEST(EnvironmentPolicy, ForbiddenInheritedNameFailsEvenWhenUnset) {
  ::unsetenv("LD_PRELOAD");
  EnvironmentPolicy policy;
  policy.inherited_names = {"LD_PRELOAD"};
  EXPECT_EQ(refusal(policy), SandboxErrorKind::ForbiddenEnvironmentVariable);
}

TEST(EnvironmentPolicy, RefusesMalformedNames) {
  for (std::string name : {std::string("A=B"), std::string(""), std::string("A\0B", 3),
                           std::string("=")}) {
    EnvironmentPolicy policy;
    policy.variables[name] = "x";
    EXPECT_EQ(refusal(policy), SandboxErrorKind::InvalidEnvironmentName);
  }
}

TEST(EnvironmentPolicy, InheritedNamesAreCheckedBeforeVariables) {
  EnvironmentPolicy policy;
  policy.inherited_names = {"DYLD_X"};
  policy.variables = {{"A=B", "x"}};
  EXPECT_EQ(refusal(policy), SandboxErrorKind::ForbiddenEnvironmentVariable);

  // Within one list the sorted order decides: "A=B" sorts before "LD_AUDIT".
  EnvironmentPolicy sorted;
  sorted.variables = {{"LD_AUDIT", "x"}, {"A=B", "y"}};
  EXPECT_EQ(refusal(sorted), SandboxErrorKind::InvalidEnvironmentName);
}

TEST(EnvironmentPolicy, ValuesAreNotInspected) {
  EnvironmentPolicy policy;
  policy.variables = {{"V", std::string("nul\0inside", 10)}, {"W", "\xff\xfe"}};
  Command command("/bin/true");
  ASSERT_TRUE(apply_environment_policy(command, policy).has_value());
  EXPECT_EQ(command.environment["V"].size(), 10u);
}

TEST(EnvironmentPolicy, SearchPathBecomesPath) {
  EnvironmentPolicy policy;
  policy.variables = {{"PATH", "/explicit"}};
  policy.search_path = {"/usr/bin", "/bin"};
  Command command("/bin/true");
  ASSERT_TRUE(apply_environment_policy(command, policy).has_value());
  EXPECT_EQ(command.environment["PATH"], "/usr/bin:/bin");

  policy.search_path = {"/usr/bin", "bin"};
  EXPECT_EQ(refusal(policy), SandboxErrorKind::RelativeSearchPath);

  policy.search_path = {"/usr/bin", "/odd:dir"};
  // The validation alone does not look for separators; building PATH does.
  EXPECT_TRUE(validate_environment_policy(policy).has_value());
  auto joined = apply_environment_policy(command, policy);
  ASSERT_FALSE(joined);
  EXPECT_EQ(joined.error().kind(), SandboxErrorKind::InvalidSearchPath);
}
