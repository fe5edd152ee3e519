// Ordinary tools do their ordinary work inside quellar-sandbox when the
// policy grants them a work directory: the base profile is enough for a
// shell, a compiler, git and Python.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "filesystem.h"
#include "launcher_harness.h"
#include "support.h"

using namespace quellar;
using namespace quellar::test;

namespace {

class Tools : public ::testing::TestWithParam<User> {
 protected:
  void SetUp() override {
    if (auto why = sandbox_test_unavailable(GetParam(), {launcher_path()}, as_); !why.empty()) {
      GTEST_SKIP() << why;
    }
    work_ = dir_.make_dir("work");
    dir_.make_dir("work/tmp");
    dir_.make_dir("work/home");
  }

  void hand_over() {
    if (as_) give_tree(dir_.path(), *as_);
  }

  // Runs `argv` in the work directory with the work directory writable and
  // `extra` readable.
  ChildResult run(const std::vector<std::string>& argv, std::vector<std::string> env = {},
                  const std::vector<std::string>& extra = {}) {
    FilesystemPolicy policy{{{work_, {FilesystemAccess::Read, FilesystemAccess::Write}}}};
    for (const std::string& path : extra) policy.grants.push_back({path, {FilesystemAccess::Read}});
    auto profile = build_profile(ProfileTarget::Linux, policy, true);
    EXPECT_TRUE(profile);
    ChildOptions options;
    options.as = as_;
    options.cwd = work_;
    env.push_back("PATH=/usr/bin:/bin");
    env.push_back("TMPDIR=" + work_ + "/tmp");
    env.push_back("HOME=" + work_ + "/home");
    options.env = std::move(env);
    ChildResult result = run_sandboxed(profile.value_or(""), argv, options);
    EXPECT_FALSE(result.status.has_value()) << "the launcher refused: stage " << result.status->stage
                                            << ", errno " << result.status->error;
    return result;
  }

  TempDir dir_;
  std::optional<Identity> as_;
  std::string work_;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

}  // namespace

TEST_P(Tools, Shell) {
  hand_over();
  ChildResult result = run({"/bin/sh", "-c",
                            "echo one > a && mkdir d && mv a d/b && cat d/b && ls d && rm -r d && "
                            "ls -A && cat /etc/passwd >/dev/null && echo done"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "one\nb\nhome\ntmp\ndone\n");
  EXPECT_EQ(result.err, "");
}

TEST_P(Tools, Env) {
  hand_over();
  ChildResult result = run({"/usr/bin/env"}, {"GREETING=hello there"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(lines(result.out),
            (std::vector<std::string>{"GREETING=hello there", "PATH=/usr/bin:/bin", "TMPDIR=" + work_ + "/tmp",
                                      "HOME=" + work_ + "/home"}));
}

TEST_P(Tools, GccCompilesAndTheResultRuns) {
  if (::access("/usr/bin/gcc", X_OK) != 0) GTEST_SKIP() << "no gcc";
  dir_.make_file("work/hello.c",
                 "#include <stdio.h>\nint main(void) { printf(\"hello from C\\n\"); return 3; }\n");
  hand_over();
  ChildResult compiled = run({"/usr/bin/gcc", "-O1", "-o", "hello", "hello.c"});
  EXPECT_EQ(compiled.exit_code, 0) << compiled.err;
  EXPECT_EQ(compiled.err, "");
  ChildResult ran = run({work_ + "/hello"});
  EXPECT_EQ(ran.exit_code, 3);
  EXPECT_EQ(ran.out, "hello from C\n");
  // Its temporary files went to TMPDIR, inside the grant, and were removed.
  EXPECT_TRUE(std::filesystem::is_empty(work_ + "/tmp"));
}

TEST_P(Tools, GitInitAndCommit) {
  if (::access("/usr/bin/git", X_OK) != 0) GTEST_SKIP() << "no git";
  hand_over();
  ChildResult result =
      run({"/bin/sh", "-c",
           "git init -q repo && cd repo && git config --global user.email t@example.org && "
           "git config --global user.name Tester && echo content > file && git add file && "
           "git commit -q -m 'first commit' && git log --format=%s%n%an"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "first commit\nTester\n");
  EXPECT_EQ(result.err, "");
}

TEST_P(Tools, PythonWithItsPrefixGranted) {
  // Debian's interpreter, and the one this test's PATH finds (a virtual
  // environment or pyenv), each with its own prefixes granted.
  std::vector<std::string> candidates{"/usr/bin/python3"};
  ChildOptions outside;
  outside.env = {std::string("PATH=") + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"),
                 std::string("HOME=") + (std::getenv("HOME") ? std::getenv("HOME") : "/")};
  ChildResult found = run_direct({"/usr/bin/env", "python3", "-c", "import sys; print(sys.executable)"}, outside);
  if (found.exit_code == 0 && !found.out.empty()) candidates.push_back(lines(found.out)[0]);
  hand_over();
  int tried = 0;
  for (const std::string& python : candidates) {
    if (::access(python.c_str(), X_OK) != 0 || (as_ && !others_can_reach(python))) continue;
    ++tried;
    SCOPED_TRACE(python);
    ChildResult prefixes = run_direct({python, "-c", "import sys; print(sys.prefix); print(sys.base_prefix)"});
    ASSERT_EQ(prefixes.exit_code, 0) << prefixes.err;
    ChildResult result =
        run({python, "-c",
             "import json, ssl, sqlite3, subprocess, tempfile, pathlib\n"
             "pathlib.Path('out.json').write_text(json.dumps({'ok': True}))\n"
             "with tempfile.TemporaryFile() as f: f.write(b'x')\n"
             "ssl.create_default_context()\n"
             "print(subprocess.run(['/bin/echo', 'child'], capture_output=True, text=True).stdout, end='')\n"
             "print(json.loads(pathlib.Path('out.json').read_text())['ok'])\n"},
            {}, lines(prefixes.out));
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "child\nTrue\n");
    EXPECT_EQ(result.err, "");
  }
  if (tried == 0) GTEST_SKIP() << "no Python interpreter this user can run";
}

INSTANTIATE_TEST_SUITE_P(Users, Tools, ::testing::Values(User::Caller, User::Nobody), user_name);
