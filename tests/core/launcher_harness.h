// Running quellar-sandbox, and the programs it contains, from a test: a
// child process with real pipes, started as the caller or as `nobody`, with
// or without the sandbox, so that every escape attempt has its control.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/launcher_protocol.h"

namespace quellar::test {

struct Identity {
  uid_t uid;
  gid_t gid;
};

// The unprivileged account, when this process may switch to it (it runs as
// root and the account exists).
std::optional<Identity> nobody();

// Whether every directory on the way to `path`, and `path` itself, can be
// searched or executed by others: what an unprivileged child needs.
bool others_can_reach(const std::string& path);

// Whom a parameterised sandbox test runs as.
enum class User { Caller, Nobody };

// The test-name suffix of a parameterised sandbox test.
inline std::string user_name(const ::testing::TestParamInfo<User>& info) {
  return info.param == User::Caller ? "AsCaller" : "AsNobody";
}

// What a sandbox test as `user` needs: Landlock, and for `nobody` the right
// to switch to it and to reach the `programs` it starts. Returns why the
// test cannot run here (empty when it can) and sets `as` for `nobody`.
std::string sandbox_test_unavailable(User user, std::initializer_list<std::string> programs,
                                     std::optional<Identity>& as);

// Changes the owner of a tree (without following links).
void give_tree(const std::string& path, Identity owner);

// The directory holding this test program, the launcher and the probe.
std::string bin_dir();
std::string launcher_path();
std::string probe_path();

// The kernel's Landlock ABI version, 0 when there is none.
int landlock_abi();

struct ChildOptions {
  std::optional<Identity> as;       // switch to this user before exec
  std::vector<int> keep_fds;        // handed down at the same numbers
  std::optional<std::string> cwd;
  std::vector<std::string> env{"PATH=/usr/bin:/bin"};  // the whole environment
  std::string input;                // written to standard input, which is then closed
  bool keep_stdin_open = false;     // Child only: leave standard input to the test
  bool status_fd = true;            // launcher runs: pass --status-fd 3
  bool without_landlock = false;    // the child sees a kernel without Landlock
  bool without_namespaces = false;  // the child may not create namespaces
};

// A status record the launcher wrote, decoded.
struct StatusRecord {
  std::int32_t stage = 0;
  std::int32_t error = 0;
  std::string path;
  std::string detail;
};

struct ChildResult {
  int exit_code = -1;  // when the process exited
  int signal = 0;      // when a signal killed it
  std::string out, err;
  std::optional<StatusRecord> status;  // a well-formed record on the status pipe
  size_t status_bytes = 0;                 // how many bytes the pipe carried
};

// A started child process, leader of its own process group; the group is
// killed and the child reaped if the test does not finish it.
class Child {
 public:
  // `argv[0]` is the program, executed as given (no PATH search).
  Child(const std::vector<std::string>& argv, const ChildOptions& options, bool with_status_pipe);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  int stdin_fd() const { return in_; }
  void close_stdin();
  // Reads the status pipe to its end: the record, or nothing when the
  // program is running.
  std::optional<StatusRecord> read_status();
  // Reads a line from standard output (the test must know one is coming).
  std::string read_stdout_line();
  // Reads everything until the pipes close, then reaps. Fails the test and
  // kills the group if that takes more than a minute.
  ChildResult finish();

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1, status_ = -1;
  ChildResult result_;
  std::string pending_out_;
};

// The launcher with `profile` running `argv`.
std::vector<std::string> launcher_argv(const std::string& profile, const std::vector<std::string>& argv,
                                       bool status_fd);
ChildResult run_sandboxed(const std::string& profile, const std::vector<std::string>& argv,
                          const ChildOptions& options = {});
// The same program without the sandbox: the control.
ChildResult run_direct(const std::vector<std::string>& argv, const ChildOptions& options = {});

// What sandbox_probe reported.
struct Probe {
  bool ok = false;
  int error = 0;   // errno when !ok
  int signal = 0;  // when the probe was killed
  std::string detail;  // lines after the first
};
Probe probe_result(const ChildResult& result);
std::string describe(const Probe& probe);

}  // namespace quellar::test
