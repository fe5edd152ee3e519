// Trying to get out of quellar-sandbox. Every attempt runs twice: without the
// sandbox, as a control that shows the attempt works (so a failure inside is
// the sandbox's doing), and inside it. Each suite runs as the caller (root on
// CI) and, when the caller is root, as `nobody`.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "filesystem.h"
#include "platform/fd.h"
#include "launcher_harness.h"
#include "support.h"

using namespace quellar;
using namespace quellar::test;

namespace {

using Fd = platform::UniqueFd;

// A copy numbered 20 or more, as the harness requires for descriptors it
// hands down; `fd` keeps its own.
Fd high(const Fd& fd) { return Fd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 20)); }

int bound_port(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return addr.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port)
                                   : ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
}

// A loopback socket of `type` bound to an ephemeral port (listening for TCP).
std::optional<Fd> loopback_socket(int family, int type) {
  Fd fd(::socket(family, type | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return std::nullopt;
  int rc;
  if (family == AF_INET) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } else {
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  if (rc != 0 || (type == SOCK_STREAM && ::listen(fd.get(), 16) != 0)) return std::nullopt;
  return fd;
}

class Escape : public ::testing::TestWithParam<User> {
 protected:
  void SetUp() override {
    if (auto why = sandbox_test_unavailable(GetParam(), {launcher_path(), probe_path()}, as_); !why.empty()) {
      GTEST_SKIP() << why;
    }
    rw_ = dir_.make_dir("rw");
    ro_ = dir_.make_dir("ro");
    outside_ = dir_.make_dir("outside");
  }

  // Call after the tree is complete: an unprivileged user must own it so
  // that the controls can do what the sandbox then refuses.
  void hand_over() {
    if (as_) give_tree(dir_.path(), *as_);
  }

  std::string profile(bool disable_network) const {
    auto built = build_profile(ProfileTarget::Linux,
                               {{{bin_dir(), {FilesystemAccess::Read}},
                                 {rw_, {FilesystemAccess::Write}},
                                 {ro_, {FilesystemAccess::Read}}}},
                               disable_network);
    EXPECT_TRUE(built);
    return built.value_or("");
  }

  ChildOptions options(std::vector<int> keep_fds = {}) const {
    ChildOptions o;
    o.as = as_;
    o.keep_fds = std::move(keep_fds);
    return o;
  }

  static std::vector<std::string> argv(std::initializer_list<std::string> op) {
    std::vector<std::string> full{probe_path()};
    full.insert(full.end(), op);
    return full;
  }

  Probe inside(std::initializer_list<std::string> op, bool disable_network = true,
               std::vector<int> keep_fds = {}) {
    return probe_result(run_sandboxed(profile(disable_network), argv(op), options(std::move(keep_fds))));
  }
  Probe outside(std::initializer_list<std::string> op, std::vector<int> keep_fds = {}) {
    return probe_result(run_direct(argv(op), options(std::move(keep_fds))));
  }

  // The attempt fails with `error` inside (tried first, so that the
  // control's success does not change what the sandboxed attempt meets),
  // then works outside.
  void expect_blocked(std::initializer_list<std::string> op, int error, bool control = true) {
    std::string what = join(op);
    Probe in = inside(op);
    EXPECT_EQ(in.error, error) << what << " inside: " << describe(in);
    if (control) {
      Probe out = outside(op);
      EXPECT_TRUE(out.ok) << what << " outside (control): " << describe(out);
    }
  }

  void expect_allowed(std::initializer_list<std::string> op, bool disable_network = true) {
    Probe in = inside(op, disable_network);
    EXPECT_TRUE(in.ok) << join(op) << " inside: " << describe(in);
  }

  static std::string join(std::initializer_list<std::string> op) {
    std::string s;
    for (const std::string& part : op) s += part + " ";
    return s;
  }

  bool root() const { return !as_ && ::geteuid() == 0; }

  TempDir dir_;
  std::optional<Identity> as_;
  std::string rw_, ro_, outside_;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Processes whose command line contains `mark` (leftovers a test made).
std::vector<pid_t> processes_with(const std::string& mark) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = read_file(entry.path() / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find(mark) != std::string::npos) found.push_back(std::stoi(name));
  }
  return found;
}

// Leftovers are reaped by their parents within moments of their kill; a
// short settling wait keeps a dying process from being counted. A process in
// the middle of execve() shows an empty command line for a moment, so none
// are left only when two scans apart from each other both find none.
int count_processes_with(const std::string& mark) {
  int empty_scans = 0;
  for (int tries = 0; tries < 50; ++tries) {
    if (processes_with(mark).empty()) {
      if (++empty_scans == 2) return 0;
    } else {
      empty_scans = 0;
    }
    ::usleep(20'000);
  }
  return static_cast<int>(processes_with(mark).size());
}

void kill_processes_with(const std::string& mark) {
  for (pid_t pid : processes_with(mark)) ::kill(pid, SIGKILL);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// ---------------------------------------------------------------------------
// Network "disabled".

using NetworkEscape = Escape;

TEST_P(NetworkEscape, InternetSocketsOfEveryKindAreRefused) {
  hand_over();
  auto tcp = loopback_socket(AF_INET, SOCK_STREAM);
  auto udp = loopback_socket(AF_INET, SOCK_DGRAM);
  ASSERT_TRUE(tcp && udp);
  std::string tcp_port = std::to_string(bound_port(tcp->get()));
  expect_blocked({"tcp4-connect", tcp_port}, EACCES);
  expect_blocked({"udp4-send", std::to_string(bound_port(udp->get()))}, EACCES);
  if (auto tcp6 = loopback_socket(AF_INET6, SOCK_STREAM)) {
    expect_blocked({"tcp6-connect", std::to_string(bound_port(tcp6->get()))}, EACCES);
  } else {
    // No IPv6 loopback to connect to: no control, but the socket itself is
    // still refused inside.
    std::printf("note: no IPv6 loopback on this host; TCP over IPv6 tried without a control\n");
    EXPECT_EQ(inside({"tcp6-connect", tcp_port}).error, EACCES);
  }
  expect_blocked({"netlink"}, EACCES);
  // Raw and packet sockets need CAP_NET_RAW even outside: only root has a
  // control, but the filter refuses them before any capability check.
  expect_blocked({"raw4"}, EACCES, root());
  expect_blocked({"packet"}, EACCES, root());
  // AF_INET has no socket pairs (EOPNOTSUPP outside); inside the filter
  // answers first.
  EXPECT_EQ(outside({"socketpair-inet"}).error, EOPNOTSUPP);
  EXPECT_EQ(inside({"socketpair-inet"}).error, EACCES);
  // A socket made by io_uring never passes through socket(2).
  expect_blocked({"io-uring-socket"}, ENOSYS);

  // Local sockets still work, and with the network allowed so does TCP.
  expect_allowed({"socketpair-unix"});
  expect_allowed({"tcp4-connect", tcp_port}, false);
}

TEST_P(NetworkEscape, AnInheritedTcpSocketCannotConnect) {
  if (landlock_abi() < 4) GTEST_SKIP() << "TCP connect control needs Landlock ABI 4";
  hand_over();
  auto listener = loopback_socket(AF_INET, SOCK_STREAM);
  ASSERT_TRUE(listener);
  std::string port = std::to_string(bound_port(listener->get()));
  // A fresh unconnected socket per attempt; the filter never sees socket()
  // here, Landlock's TCP rules are what refuse.
  auto fresh = [] { return high(Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))); };
  Fd a = fresh(), b = fresh(), c = fresh();
  EXPECT_EQ(inside({"connect-fd", std::to_string(a.get()), port}, true, {a.get()}).error, EACCES);
  EXPECT_TRUE(outside({"connect-fd", std::to_string(b.get()), port}, {b.get()}).ok);
  EXPECT_TRUE(inside({"connect-fd", std::to_string(c.get()), port}, false, {c.get()}).ok);
}

TEST_P(NetworkEscape, AnAbstractSocketBoundOutsideCannotBeReached) {
  if (landlock_abi() < 6) GTEST_SKIP() << "abstract socket scoping needs Landlock ABI 6";
  hand_over();
  std::string name = "quellar-test-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}());
  Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), size), 0);
  ASSERT_EQ(::listen(listener.get(), 16), 0);
  // Inside a network namespace of its own the name does not exist at all;
  // without one, Landlock's scoping refuses it.
  Probe in = inside({"abstract-connect", name});
  EXPECT_TRUE(in.error == ECONNREFUSED || in.error == EPERM) << describe(in);
  EXPECT_TRUE(outside({"abstract-connect", name}).ok);
  expect_allowed({"abstract-connect", name}, false);
}

TEST_P(NetworkEscape, AnAbstractNameBoundInsideIsNotSeenOutside) {
  hand_over();
  const std::string name =
      "quellar-squat-" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}());
  // The name is held while the probe waits on its input, and tried from
  // outside meanwhile. Control first: bound without the sandbox, it answers
  // an ordinary client.
  for (bool sandboxed : {false, true}) {
    const std::string held = name + (sandboxed ? "-inside" : "-outside");
    ChildOptions o = options();
    o.keep_stdin_open = true;
    const auto probe = argv({"abstract-hold", held});
    Child child(sandboxed ? launcher_argv(profile(true), probe, true) : probe, o, sandboxed);
    ASSERT_EQ(child.read_stdout_line(), "ok") << (sandboxed ? "inside" : "outside");
    Fd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, held.data(), held.size());
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + held.size());
    const int rc = ::connect(client.get(), reinterpret_cast<sockaddr*>(&addr), size);
    if (sandboxed) {
      EXPECT_NE(rc, 0) << "a name bound inside answered outside";
      EXPECT_EQ(errno, ECONNREFUSED);
    } else {
      EXPECT_EQ(rc, 0) << std::strerror(errno);
    }
    child.close_stdin();
    EXPECT_EQ(child.finish().exit_code, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Users, NetworkEscape, ::testing::Values(User::Caller, User::Nobody), user_name);

// ---------------------------------------------------------------------------
// Filesystem grants.

using FilesystemEscape = Escape;

TEST_P(FilesystemEscape, AWritableGrantAllowsCreatingWritingRenamingDeleting) {
  hand_over();
  std::string file = rw_ + "/file", moved = rw_ + "/moved", sub = rw_ + "/sub";
  expect_allowed({"create", file});
  expect_allowed({"write", file});
  EXPECT_EQ(read_file(file), "created\nwritten\n");
  expect_allowed({"rename", file, moved});
  EXPECT_FALSE(exists(file));
  EXPECT_EQ(read_file(moved), "created\nwritten\n");
  expect_allowed({"link", moved, rw_ + "/hard"});
  expect_allowed({"truncate", rw_ + "/hard"});
  EXPECT_EQ(read_file(moved), "");
  expect_allowed({"symlink", "moved", rw_ + "/soft"});
  expect_allowed({"read", rw_ + "/soft"});
  expect_allowed({"mkfifo", rw_ + "/fifo"});
  expect_allowed({"mkdir", sub});
  expect_allowed({"create", sub + "/deep"});
  expect_allowed({"rename", sub + "/deep", rw_ + "/up"});
  expect_allowed({"rmdir", sub});
  for (std::string name : {"moved", "hard", "soft", "fifo", "up"}) expect_allowed({"unlink", rw_ + "/" + name});
  EXPECT_FALSE(exists(sub));
  EXPECT_TRUE(std::filesystem::is_empty(rw_));
}

TEST_P(FilesystemEscape, NothingIsWrittenOutsideTheGrantsOrInAReadOnlyGrant) {
  for (const std::string& dir : {outside_, ro_}) {
    for (std::string name : {"file", "victim", "target"}) dir_.make_file(dir.substr(dir_.path().size() + 1) + "/" + name, "original\n");
    dir_.make_dir(dir.substr(dir_.path().size() + 1) + "/empty");
  }
  dir_.make_file("rw/mine", "mine\n");
  hand_over();
  for (const std::string& dir : {outside_, ro_}) {
    SCOPED_TRACE(dir);
    expect_blocked({"write", dir + "/file"}, EACCES);
    expect_blocked({"open-trunc", dir + "/target"}, EACCES);
    expect_blocked({"truncate", dir + "/victim"}, EACCES);
    expect_blocked({"create", dir + "/new"}, EACCES);
    expect_blocked({"mkdir", dir + "/sub"}, EACCES);
    expect_blocked({"mkfifo", dir + "/fifo"}, EACCES);
    expect_blocked({"symlink", "/etc/passwd", dir + "/link"}, EACCES);
    expect_blocked({"rename", dir + "/file", dir + "/renamed"}, EACCES);
    expect_blocked({"rmdir", dir + "/empty"}, EACCES);
    expect_blocked({"unlink", dir + "/victim"}, EACCES);
    // Hard links in either direction: out of the writable grant, or a
    // protected file given a second name inside it.
    expect_blocked({"link", rw_ + "/mine", dir + "/alias"}, EACCES);
    expect_blocked({"link", dir + "/target", rw_ + "/alias-" + std::to_string(dir.size())}, EXDEV);
    expect_blocked({"rename", dir + "/target", rw_ + "/stolen"}, EACCES);
  }
  // Device nodes: not even inside the writable grant. Only root can make
  // one outside the sandbox; inside Landlock refuses before the capability
  // check.
  expect_blocked({"mknod-char", rw_ + "/null"}, EACCES, root());
  expect_blocked({"mknod-char", outside_ + "/null"}, EACCES, root());
}

TEST_P(FilesystemEscape, AnUngrantedDirectoryCannotBeRead) {
  dir_.make_file("outside/secret", "secret\n");
  dir_.make_file("ro/public", "public\n");
  hand_over();
  expect_blocked({"read", outside_ + "/secret"}, EACCES);
  expect_blocked({"list", outside_}, EACCES);
  expect_blocked({"list", dir_.path()}, EACCES);
  expect_allowed({"read", ro_ + "/public"});
  expect_allowed({"list", ro_});
  // The host beyond the base profile's few files.
  expect_blocked({"list", "/etc"}, EACCES);
  expect_blocked({"list", "/dev"}, EACCES);
  expect_blocked({"read", "/etc/shadow"}, EACCES, root());
  expect_allowed({"read", "/etc/passwd"});
  expect_allowed({"read", "/proc/cpuinfo"});
  expect_allowed({"list", "/sys/devices/system/cpu"});
}

TEST_P(FilesystemEscape, ASymbolicLinkInAGrantDoesNotLeadOut) {
  dir_.make_file("outside/secret", "secret\n");
  dir_.make_symlink("rw/to-secret", outside_ + "/secret");
  dir_.make_symlink("rw/to-outside", outside_);
  dir_.make_symlink("ro/to-secret", outside_ + "/secret");
  hand_over();
  expect_blocked({"read", rw_ + "/to-secret"}, EACCES);
  expect_blocked({"read", ro_ + "/to-secret"}, EACCES);
  EXPECT_EQ(inside({"write", rw_ + "/to-secret"}).error, EACCES);
  EXPECT_EQ(read_file(outside_ + "/secret"), "secret\n");
  expect_blocked({"list", rw_ + "/to-outside"}, EACCES);
  expect_blocked({"create", rw_ + "/to-outside/planted"}, EACCES);
  expect_blocked({"read", rw_ + "/../outside/secret"}, EACCES);
  // A link the program makes itself leads nowhere either.
  expect_allowed({"symlink", outside_ + "/secret", rw_ + "/own"});
  expect_blocked({"read", rw_ + "/own"}, EACCES);
}

INSTANTIATE_TEST_SUITE_P(Users, FilesystemEscape, ::testing::Values(User::Caller, User::Nobody), user_name);

// ---------------------------------------------------------------------------
// Other processes and the kernel.

using ProcessEscape = Escape;

TEST_P(ProcessEscape, SignalsDoNotLeaveTheSandbox) {
  hand_over();
  // A process of the same user outside the sandbox: the supervisor's place.
  ChildOptions waiting = options();
  waiting.keep_stdin_open = true;
  Child bystander({probe_path(), "wait-stdin"}, waiting, false);
  std::string pid = std::to_string(bystander.pid());
  for (const std::string& sig : std::vector<std::string>{"0", std::to_string(SIGTERM)}) {
    // Not even there to be named inside a PID namespace; refused by
    // Landlock's scoping without one.
    Probe in = inside({"kill", pid, sig});
    EXPECT_TRUE(in.error == ESRCH || in.error == EPERM) << "signal " << sig << ": " << describe(in);
  }
  EXPECT_TRUE(outside({"kill", pid, "0"}).ok);
  EXPECT_EQ(::kill(bystander.pid(), 0), 0) << "the bystander died";
  bystander.close_stdin();
  EXPECT_EQ(bystander.finish().exit_code, 0);

  // The launcher's parent, which supervises it, when it runs as the same user.
  if (!as_) expect_blocked({"kill-parent", "0"}, EPERM);
  // The program's own children are its to signal.
  expect_allowed({"kill-own-child"});
}

TEST_P(ProcessEscape, TheFilterRefusesWhatLandlockCannotSee) {
  hand_over();
  expect_blocked({"clone3"}, ENOSYS);
  expect_blocked({"pidfd-getfd"}, EPERM);
  expect_blocked({"io-uring-socket"}, ENOSYS);
  EXPECT_EQ(inside({"io-uring-socket"}, false).error, ENOSYS) << "io_uring with the network allowed";
  // User namespaces: refused inside, whatever the host allows outside.
  Probe userns_outside = outside({"unshare-user"});
  EXPECT_EQ(inside({"unshare-user"}).error, EPERM);
  EXPECT_EQ(inside({"clone-newuser"}).error, EPERM);
  if (userns_outside.ok) {
    EXPECT_TRUE(outside({"clone-newuser"}).ok);
  } else {
    std::printf("note: this host refuses user namespaces outside too (%s)\n", describe(userns_outside).c_str());
  }
}

TEST_P(ProcessEscape, NoTypingIntoATerminal) {
  hand_over();
  for (std::string op : {"tiocsti", "tiocsti-high"}) {
    // A fresh terminal each time: it becomes the probe's controlling one.
    auto terminal = [&] {
      Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
      EXPECT_EQ(::grantpt(master.get()), 0);
      EXPECT_EQ(::unlockpt(master.get()), 0);
      Fd slave(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
      return std::pair{std::move(master), high(slave)};
    };
    auto [m1, s1] = terminal();
    Probe in = inside({op, std::to_string(s1.get())}, true, {s1.get()});
    EXPECT_EQ(in.error, EPERM) << op << " inside: " << describe(in);
    auto [m2, s2] = terminal();
    Probe out = outside({op, std::to_string(s2.get())}, {s2.get()});
    EXPECT_TRUE(out.ok) << op << " outside (control): " << describe(out);
  }
}

TEST_P(ProcessEscape, OtherSystemCallTablesKillTheProcess) {
  hand_over();
  for (std::string op : {"x32-getpid", "int80-getpid"}) {
    Probe in = inside({op});
    EXPECT_EQ(in.signal, SIGSYS) << op << " inside: " << describe(in);
    Probe out = outside({op});
    EXPECT_EQ(out.signal, 0) << op << " outside: " << describe(out);
  }
}

TEST_P(ProcessEscape, RootKeepsNoCapability) {
  if (!root()) GTEST_SKIP() << "only a root caller has capabilities to lose";
  dir_.make_file("rw/owned", "x");
  Probe out = outside({"capabilities"});
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(out.detail.find("effective 0 "), std::string::npos) << "control: " << out.detail;
  Probe in = inside({"capabilities"});
  ASSERT_TRUE(in.ok);
  EXPECT_EQ(in.detail, "effective 0 permitted 0 inheritable 0 bounding 0 ambient 0\n");
  // What those capabilities would do: give files away, rename the host.
  expect_blocked({"chown", rw_ + "/owned", "12345"}, EPERM);
  expect_blocked({"sethostname-same"}, EPERM);
}

INSTANTIATE_TEST_SUITE_P(Users, ProcessEscape, ::testing::Values(User::Caller, User::Nobody), user_name);

// ---------------------------------------------------------------------------
// What the launcher adds to Landlock: a session of its own, the filter's
// further rules, literal grants, and namespaces.

using IsolationEscape = Escape;

// Runs `argv` as the leader of a new session whose controlling terminal is
// a fresh pseudo-terminal, as a shell on a terminal starts a command; gives
// what the program wrote on it.
std::string on_a_terminal(const std::vector<std::string>& argv, const std::optional<Identity>& as) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  char* env[] = {const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  int master = -1;
  pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (as && (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
               ::syscall(SYS_setresgid, as->gid, as->gid, as->gid) != 0 ||
               ::syscall(SYS_setresuid, as->uid, as->uid, as->uid) != 0)) {
      ::_exit(120);
    }
    ::execve(args[0], args.data(), env);
    ::_exit(121);
  }
  std::string out;
  char buf[256];
  for (;;) {
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;  // EIO once every holder of the terminal's other side is gone
    }
  }
  ::close(master);
  ::waitpid(pid, nullptr, 0);
  return out;
}

TEST_P(IsolationEscape, NoControllingTerminal) {
  hand_over();
  // Control: run from a terminal, a program can open it, take the
  // foreground and read what the user types.
  std::string out = on_a_terminal({probe_path(), "open-tty"}, as_);
  EXPECT_TRUE(out.starts_with("ok")) << out;
  std::vector<std::string> contained = launcher_argv(profile(true), {probe_path(), "open-tty"}, false);
  out = on_a_terminal(contained, as_);
  EXPECT_TRUE(out.starts_with("errno " + std::to_string(ENXIO))) << out;
  // pid = process group = session, whatever group the caller is in.
  Probe session = inside({"session"});
  ASSERT_TRUE(session.ok);
  int pid = 0, group = 0, leader = 0;
  ASSERT_EQ(std::sscanf(session.detail.c_str(), "%d %d %d", &pid, &group, &leader), 3);
  EXPECT_EQ(group, pid);
  EXPECT_EQ(leader, pid);
}

TEST_P(IsolationEscape, OtherProcessesLimitsAndSchedulingAreOutOfReach) {
  hand_over();
  // A process of the same user outside: where the supervisor would be.
  ChildOptions waiting = options();
  waiting.keep_stdin_open = true;
  Child bystander({probe_path(), "wait-stdin"}, waiting, false);
  const std::string pid = std::to_string(bystander.pid());
  for (std::string op : {"prlimit", "setpriority", "setaffinity", "setscheduler", "ioprio"}) {
    Probe in = inside({op, pid});
    // ESRCH inside a PID namespace, EPERM from the filter without one.
    EXPECT_TRUE(in.error == ESRCH || in.error == EPERM) << op << " inside: " << describe(in);
    Probe out = outside({op, pid});
    EXPECT_TRUE(out.ok) << op << " outside (control): " << describe(out);
  }
  bystander.close_stdin();
  EXPECT_EQ(bystander.finish().exit_code, 0);
  // The filter itself, namespaces or not: only a process's own settings,
  // named as its own (pid 0), and never a group's or a user's.
  expect_blocked({"prlimit-self-by-pid"}, EPERM);
  expect_blocked({"setpriority-own-group"}, EPERM);
  expect_blocked({"setaffinity", "1"}, EPERM, false);
}

TEST_P(IsolationEscape, SharedKernelObjectsStayOutside) {
  hand_over();
  // A 0600 SysV segment of the same user.
  const int key = 0x51e11a00 | static_cast<int>(::getpid() & 0xff);
  int id = ::shmget(key, 4096, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(id, 0) << std::strerror(errno);
  auto* data = static_cast<char*>(::shmat(id, nullptr, 0));
  data[0] = 'S';
  ::shmdt(data);
  if (as_) {
    shmid_ds ds{};
    ASSERT_EQ(::shmctl(id, IPC_STAT, &ds), 0);
    ds.shm_perm.uid = as_->uid;
    ASSERT_EQ(::shmctl(id, IPC_SET, &ds), 0);
  }
  Probe in = inside({"shm-read", std::to_string(key)});
  // Not there in an IPC namespace of the run's own; refused by the filter
  // without one.
  EXPECT_TRUE(in.error == ENOENT || in.error == EPERM) << describe(in);
  Probe out = outside({"shm-read", std::to_string(key)});
  EXPECT_TRUE(out.ok && out.detail == "S\n") << "control: " << describe(out);
  ::shmctl(id, IPC_RMID, nullptr);

  expect_blocked({"keyring"}, EPERM);
}

TEST_P(IsolationEscape, NoSetUserIdFiles) {
  dir_.make_file("rw/tool", "#!/bin/sh\n", 0755);
  dir_.make_file("outside/tool", "#!/bin/sh\n", 0755);
  hand_over();
  expect_blocked({"chmod-setuid", rw_ + "/tool"}, EPERM);
  expect_blocked({"chmod-setgid", rw_ + "/tool"}, EPERM);
  expect_blocked({"create-setuid", rw_ + "/made"}, EPERM);
  // A file outside the grants that the user owns (all of root's, for root).
  expect_blocked({"chmod-setuid", outside_ + "/tool"}, EPERM);
  // Ordinary modes still change within a writable grant.
  expect_allowed({"chmod-plain", rw_ + "/tool"});
}

TEST_P(IsolationEscape, NoWatchingOrAdoptingOutside) {
  hand_over();
  expect_blocked({"fanotify"}, EPERM, root());
  EXPECT_EQ(inside({"clone-parent"}).error, EPERM);
  EXPECT_TRUE(outside({"clone-parent"}).ok);
  // The control's child became ours: collect it.
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

TEST_P(IsolationEscape, GrantsAreTakenLiterally) {
  dir_.make_file("outside/secret", "secret\n");
  dir_.make_symlink("ro/link", outside_);
  dir_.make_symlink("link-to-ro", ro_);
  hand_over();
  // A grant that is a link, or that passes through one, starts nothing:
  // an earlier run with a write grant could have planted the link.
  for (const std::string& grant : {ro_ + "/link", dir_.path() + "/link-to-ro"}) {
    auto built = build_profile(ProfileTarget::Linux,
                               {{{bin_dir(), {FilesystemAccess::Read}}, {grant, {FilesystemAccess::Read}}}}, true);
    ASSERT_TRUE(built);
    ChildResult result = run_sandboxed(*built, {probe_path(), "read", outside_ + "/secret"}, options());
    ASSERT_TRUE(result.status.has_value()) << grant << ": " << result.out << result.err;
    EXPECT_EQ(result.status->stage, static_cast<std::int32_t>(launcher::Stage::Grant));
    EXPECT_EQ(result.status->error, ELOOP);
    EXPECT_EQ(result.status->path, grant);
    EXPECT_NE(result.status->detail.find("grant the resolved path"), std::string::npos) << result.status->detail;
  }
  // Control: the resolved path is granted as usual.
  auto resolved = build_profile(ProfileTarget::Linux,
                                {{{bin_dir(), {FilesystemAccess::Read}}, {outside_, {FilesystemAccess::Read}}}}, true);
  ASSERT_TRUE(resolved);
  EXPECT_TRUE(probe_result(run_sandboxed(*resolved, {probe_path(), "read", outside_ + "/secret"}, options())).ok);
}

TEST_P(IsolationEscape, AProcOfItsOwn) {
  hand_over();
  Probe pids = inside({"proc-pids"});
  ASSERT_TRUE(pids.ok) << describe(pids);
  // Only the run's processes: its init, the probe, nothing of the host.
  std::istringstream listed(pids.detail);
  int pid = 0, count = 0;
  while (listed >> pid) {
    ++count;
    EXPECT_LT(pid, 10) << "a host process is visible: " << pids.detail;
  }
  EXPECT_GE(count, 2);
  EXPECT_LE(count, 3);
  expect_allowed({"read", "/proc/self/maps"});
  expect_allowed({"read", "/proc/self/status"});
  expect_allowed({"list", "/proc/self/fd"});
}

// Escapees of two kinds: in the background, and in a new session after a
// double fork (adopted by the init once their parent ended). Each says "up"
// on a pipe the program reads, so both are alive once it prints "up up";
// then they let go of every stream, so that only the launcher can end them.
// The program then runs `then`.
std::string escapees_script(const std::string& mark, const std::string& then) {
  return "esc='echo up >&3; exec sleep " + mark + " 3>&-'; "
         "{ sh -c \"$esc\" 3>&1 >/dev/null 2>&1 </dev/null & "
         "setsid sh -c 'sh -c \"$0\" & :' \"$esc\" 3>&1 >/dev/null 2>&1 </dev/null & } | "
         "{ read a; read b; echo \"$a $b\"; }; " +
         then;
}

std::string unique_mark() { return std::to_string(1000 + std::random_device{}() % 1000) + ".4242"; }

TEST_P(IsolationEscape, NothingOutlivesTheProgram) {
  hand_over();
  const std::string mark = unique_mark();
  const std::string script = escapees_script(mark, "exit 0");
  // Control: without the launcher both outlive the program.
  ChildResult direct = run_direct({"/bin/sh", "-c", script}, options());
  EXPECT_EQ(direct.out, "up up\n") << direct.err;
  EXPECT_EQ(count_processes_with(mark), 2);
  kill_processes_with(mark);
  for (bool namespaces : {true, false}) {
    ChildOptions o = options();
    o.without_namespaces = !namespaces;
    ChildResult result = run_sandboxed(profile(true), {"/bin/sh", "-c", script}, o);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "up up\n") << "the escapees never ran";
    EXPECT_EQ(count_processes_with(mark), 0) << (namespaces ? "with" : "without") << " namespaces";
    kill_processes_with(mark);
  }
}

// The supervisor's kill: SIGKILL to the launcher's process group, which no
// process of the run shares (the program leads a session of its own).
TEST_P(IsolationEscape, NothingOutlivesAKilledRun) {
  hand_over();
  const std::string mark = unique_mark();
  const std::vector<std::string> program = {"/bin/sh", "-c", escapees_script(mark, "exec sleep 60")};
  for (int round = 0; round < 3; ++round) {
    const bool sandboxed = round > 0, namespaces = round == 1;
    ChildOptions o = options();
    o.without_namespaces = !namespaces;
    Child child(sandboxed ? launcher_argv(profile(true), program, true) : program, o, sandboxed);
    ASSERT_EQ(child.read_stdout_line(), "up up");
    ::kill(-child.pid(), SIGKILL);
    child.finish();
    // Control: the escapee in a session of its own outlives its group.
    EXPECT_EQ(count_processes_with(mark), sandboxed ? 0 : 1)
        << (!sandboxed ? "direct" : namespaces ? "with namespaces" : "without namespaces");
    kill_processes_with(mark);
  }
}

INSTANTIATE_TEST_SUITE_P(Users, IsolationEscape, ::testing::Values(User::Caller, User::Nobody), user_name);

}  // namespace
