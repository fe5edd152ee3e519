// sandbox_probe OP ARGS...: attempts one operation and reports what happened,
// so that a test can run the same attempt with and without the sandbox.
//
// Prints "ok" (exit 0) or "errno N" (exit 1); some operations print more on
// the following lines. Exit 2 is a mistake in the test. Built without
// sanitizers: it runs inside the sandbox, where their runtime cannot start.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/io_uring.h>
#include <linux/netlink.h>
#include <linux/sched.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <linux/if_ether.h>

namespace {

int ok() {
  std::puts("ok");
  return 0;
}

int failed(int error) {
  std::printf("errno %d\n", error);
  return 1;
}

// -1 with errno, as the system calls do.
int check(long rc) { return rc < 0 ? failed(errno) : ok(); }

int to_int(const char* s) { return static_cast<int>(std::strtol(s, nullptr, 10)); }

// --- files -----------------------------------------------------------------

int read_file(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  char c;
  ssize_t n = ::read(fd, &c, 1);
  int error = errno;
  ::close(fd);
  return n < 0 ? failed(error) : ok();
}

int list_dir(const char* path) {
  DIR* dir = ::opendir(path);
  if (!dir) return failed(errno);
  errno = 0;
  while (::readdir(dir)) {
  }
  int error = errno;
  ::closedir(dir);
  return error ? failed(error) : ok();
}

int write_to(const char* path, int flags, std::string_view text) {
  int fd = ::open(path, flags | O_CLOEXEC, 0644);
  if (fd < 0) return failed(errno);
  ssize_t n = ::write(fd, text.data(), text.size());
  int error = errno;
  ::close(fd);
  return n < 0 ? failed(error) : ok();
}

// --- sockets ---------------------------------------------------------------

int connect_tcp4(int fd, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

int tcp4_connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(errno);
  return check(connect_tcp4(fd, port));
}

int tcp6_connect(int port) {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(errno);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_port = htons(static_cast<uint16_t>(port));
  addr.sin6_addr = in6addr_loopback;
  return check(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
}

int udp4_send(int port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(errno);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return check(::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
}

int abstract_connect(const char* name) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(errno);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t len = std::strlen(name);
  std::memcpy(addr.sun_path + 1, name, len);  // sun_path[0] == 0: abstract
  auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
  return check(::connect(fd, reinterpret_cast<sockaddr*>(&addr), size));
}

// A socket created by the kernel on behalf of an io_uring request: no
// socket() system call is made, so only refusing io_uring itself stops it.
int io_uring_socket() {
  io_uring_params params{};
  int ring = static_cast<int>(::syscall(__NR_io_uring_setup, 4, &params));
  if (ring < 0) return failed(errno);
  size_t sq_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
  size_t cq_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
  if (params.features & IORING_FEAT_SINGLE_MMAP) sq_size = cq_size = std::max(sq_size, cq_size);
  auto* sq = static_cast<char*>(::mmap(nullptr, sq_size, PROT_READ | PROT_WRITE,
                                       MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_SQ_RING));
  char* cq = (params.features & IORING_FEAT_SINGLE_MMAP)
                 ? sq
                 : static_cast<char*>(::mmap(nullptr, cq_size, PROT_READ | PROT_WRITE,
                                             MAP_SHARED | MAP_POPULATE, ring, IORING_OFF_CQ_RING));
  auto* sqes = static_cast<io_uring_sqe*>(::mmap(nullptr, params.sq_entries * sizeof(io_uring_sqe),
                                                 PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                                                 ring, IORING_OFF_SQES));
  if (sq == MAP_FAILED || cq == MAP_FAILED || sqes == MAP_FAILED) return failed(errno);
  auto* tail = reinterpret_cast<unsigned*>(sq + params.sq_off.tail);
  unsigned mask = *reinterpret_cast<unsigned*>(sq + params.sq_off.ring_mask);
  unsigned index = *tail & mask;
  io_uring_sqe* sqe = &sqes[index];
  std::memset(sqe, 0, sizeof *sqe);
  sqe->opcode = IORING_OP_SOCKET;
  sqe->fd = AF_INET;
  sqe->off = SOCK_STREAM;
  reinterpret_cast<unsigned*>(sq + params.sq_off.array)[index] = index;
  __atomic_store_n(tail, *tail + 1, __ATOMIC_RELEASE);
  if (::syscall(__NR_io_uring_enter, ring, 1, 1, IORING_ENTER_GETEVENTS, nullptr, 0) < 0) {
    return failed(errno);
  }
  unsigned head = *reinterpret_cast<unsigned*>(cq + params.cq_off.head);
  unsigned cq_mask = *reinterpret_cast<unsigned*>(cq + params.cq_off.ring_mask);
  int res = reinterpret_cast<io_uring_cqe*>(cq + params.cq_off.cqes)[head & cq_mask].res;
  return res >= 0 ? ok() : failed(-res);
}

// --- processes -------------------------------------------------------------

// Runs `body` in a child and reports its result: exit 0 is ok, exit 100+e
// is errno e.
template <class Body>
int in_child(Body body) {
  pid_t pid = ::fork();
  if (pid < 0) return failed(errno);
  if (pid == 0) {
    int error = body();
    ::_exit(error == 0 ? 0 : 100 + error);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return failed(EINTR);
  return WEXITSTATUS(status) == 0 ? ok() : failed(WEXITSTATUS(status) - 100);
}

int clone_with(unsigned long flags) {
  long pid = ::syscall(SYS_clone, flags | SIGCHLD, 0, 0, 0, 0);
  if (pid < 0) return failed(errno);
  if (pid == 0) ::_exit(0);
  ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
  return ok();
}

int clone3_plain() {
  clone_args args{};
  args.exit_signal = SIGCHLD;
  long pid = ::syscall(SYS_clone3, &args, sizeof args);
  if (pid < 0) return failed(errno);
  if (pid == 0) ::_exit(0);
  ::waitpid(static_cast<pid_t>(pid), nullptr, 0);
  return ok();
}

// Copies descriptor 0 out of our own child: the simplest target the caller
// may reach, so that only the filter can be what refuses.
int pidfd_getfd_own_child() {
  int hold[2];
  if (::pipe2(hold, O_CLOEXEC) != 0) return failed(errno);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(hold[1]);
    char c;
    ::read(hold[0], &c, 1);
    ::_exit(0);
  }
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  int rc = pidfd < 0 ? -1 : static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, 0, 0));
  int error = errno;
  ::close(hold[1]);
  ::waitpid(child, nullptr, 0);
  return rc < 0 ? failed(error) : ok();
}

// TIOCSTI on a terminal passed in at `fd`, made our controlling terminal in
// a new session first (which the kernel requires of an unprivileged user).
// `high` sets bits above the low 32 of the request, which the kernel ignores.
int tiocsti(int fd, bool high) {
  return in_child([&] {
    if (::setsid() < 0 || ::ioctl(fd, TIOCSCTTY, 0) < 0) return errno;
    char c = '#';
    unsigned long request = TIOCSTI | (high ? (1UL << 32) : 0);
    return ::syscall(SYS_ioctl, fd, request, &c) < 0 ? errno : 0;
  });
}

int kill_own_child() {
  pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  int rc = ::kill(child, SIGKILL);
  int error = errno;
  ::waitpid(child, nullptr, 0);
  return rc < 0 ? failed(error) : ok();
}

int capabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return failed(errno);
  auto join = [](uint32_t low, uint32_t high) { return (uint64_t{high} << 32) | low; };
  uint64_t bounding = 0, ambient = 0;
  for (int cap = 0; cap < 64; ++cap) {
    if (::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1) bounding |= uint64_t{1} << cap;
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0) == 1) ambient |= uint64_t{1} << cap;
  }
  std::puts("ok");
  std::printf("effective %llx permitted %llx inheritable %llx bounding %llx ambient %llx\n",
              (unsigned long long)join(data[0].effective, data[1].effective),
              (unsigned long long)join(data[0].permitted, data[1].permitted),
              (unsigned long long)join(data[0].inheritable, data[1].inheritable),
              (unsigned long long)bounding, (unsigned long long)ambient);
  return 0;
}

// --- other processes' limits and scheduling, shared kernel objects --------
// Each sets the value it reads, so that the control outside changes nothing.

int prlimit_of(pid_t pid) {
  rlimit limit{};
  if (::prlimit(pid, RLIMIT_NOFILE, nullptr, &limit) != 0) return failed(errno);
  return check(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr));
}

int setpriority_of(int which, int who) {
  errno = 0;
  int nice = ::getpriority(which, static_cast<id_t>(who));
  if (errno != 0) return failed(errno);
  return check(::setpriority(which, static_cast<id_t>(who), nice));
}

int setaffinity_of(pid_t pid) {
  cpu_set_t set;
  if (::sched_getaffinity(pid, sizeof set, &set) != 0) return failed(errno);
  return check(::sched_setaffinity(pid, sizeof set, &set));
}

int setscheduler_of(pid_t pid) {
  int policy = ::sched_getscheduler(pid);
  if (policy < 0) return failed(errno);
  sched_param param{};
  if (::sched_getparam(pid, &param) != 0) return failed(errno);
  return check(::sched_setscheduler(pid, policy, &param));
}

int ioprio_of(pid_t pid) {
  constexpr int kWhoProcess = 1;
  long prio = ::syscall(SYS_ioprio_get, kWhoProcess, pid);
  if (prio < 0) return failed(errno);
  return check(::syscall(SYS_ioprio_set, kWhoProcess, pid, prio));
}

// Reads the first byte of the host's SysV segment with this key.
int shm_read(int key) {
  int id = ::shmget(static_cast<key_t>(key), 0, 0);
  if (id < 0) return failed(errno);
  void* at = ::shmat(id, nullptr, SHM_RDONLY);
  if (at == reinterpret_cast<void*>(-1)) return failed(errno);
  std::printf("ok\n%c\n", *static_cast<char*>(at));
  ::shmdt(at);
  return 0;
}

int session_keyring() {
  constexpr long kGetKeyringId = 0;     // KEYCTL_GET_KEYRING_ID
  constexpr long kSessionKeyring = -3;  // KEY_SPEC_SESSION_KEYRING
  return check(::syscall(SYS_keyctl, kGetKeyringId, kSessionKeyring, 0));
}

// Binds and listens on an abstract name, says "ok", and holds the name
// until its standard input ends.
int abstract_hold(const char* name) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed(errno);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t len = std::strlen(name);
  std::memcpy(addr.sun_path + 1, name, len);
  auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0 || ::listen(fd, 4) != 0) return failed(errno);
  std::printf("ok\n");
  std::fflush(stdout);
  char byte;
  while (::read(0, &byte, 1) > 0) {
  }
  return 0;
}

// getpid through the x32 system-call numbering.
int x32_getpid() { return check(::syscall(0x40000000 | SYS_getpid)); }

// getpid through the 32-bit entry (int 0x80, i386 number 20).
int int80_getpid() {
  long rc;
  asm volatile("int $0x80" : "=a"(rc) : "a"(20L) : "memory", "rcx", "r11", "r8", "r9", "r10");
  return rc < 0 ? failed(static_cast<int>(-rc)) : ok();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string_view op = argv[1];
  auto arg = [&](int i) -> const char* { return i + 2 < argc ? argv[i + 2] : ""; };

  // Files.
  if (op == "read") return read_file(arg(0));
  if (op == "list") return list_dir(arg(0));
  if (op == "create") return write_to(arg(0), O_WRONLY | O_CREAT | O_EXCL, "created\n");
  if (op == "write") return write_to(arg(0), O_WRONLY | O_APPEND, "written\n");
  if (op == "open-trunc") return write_to(arg(0), O_WRONLY | O_TRUNC, "");
  if (op == "truncate") return check(::truncate(arg(0), 0));
  if (op == "rename") return check(::rename(arg(0), arg(1)));
  if (op == "unlink") return check(::unlink(arg(0)));
  if (op == "mkdir") return check(::mkdir(arg(0), 0755));
  if (op == "rmdir") return check(::rmdir(arg(0)));
  if (op == "link") return check(::link(arg(0), arg(1)));
  if (op == "symlink") return check(::symlink(arg(0), arg(1)));
  if (op == "mkfifo") return check(::mknod(arg(0), S_IFIFO | 0644, 0));
  if (op == "mknod-char") return check(::mknod(arg(0), S_IFCHR | 0666, makedev(1, 3)));
  if (op == "chown") return check(::chown(arg(0), static_cast<uid_t>(to_int(arg(1))), -1));
  if (op == "chmod-setuid") return check(::chmod(arg(0), 04755));
  if (op == "chmod-setgid") return check(::chmod(arg(0), 02755));
  if (op == "chmod-plain") return check(::chmod(arg(0), 0755));
  if (op == "create-setuid") return check(::open(arg(0), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 04755));

  // Sockets.
  if (op == "tcp4-connect") return tcp4_connect(to_int(arg(0)));
  if (op == "tcp6-connect") return tcp6_connect(to_int(arg(0)));
  if (op == "udp4-send") return udp4_send(to_int(arg(0)));
  if (op == "raw4") return check(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (op == "packet") return check(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
  if (op == "netlink") return check(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (op == "socketpair-inet" || op == "socketpair-unix") {
    int pair[2];
    return check(::socketpair(op == "socketpair-inet" ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
  }
  if (op == "abstract-connect") return abstract_connect(arg(0));
  if (op == "abstract-hold") return abstract_hold(arg(0));
  if (op == "connect-fd") return check(connect_tcp4(to_int(arg(0)), to_int(arg(1))));
  if (op == "io-uring-socket") return io_uring_socket();

  // Processes and the kernel.
  if (op == "kill") return check(::kill(to_int(arg(0)), to_int(arg(1))));
  if (op == "kill-parent") return check(::kill(::getppid(), to_int(arg(0))));
  if (op == "kill-own-child") return kill_own_child();
  if (op == "prlimit") return prlimit_of(to_int(arg(0)));
  if (op == "prlimit-self-by-pid") return prlimit_of(::getpid());
  if (op == "setpriority") return setpriority_of(PRIO_PROCESS, to_int(arg(0)));
  if (op == "setpriority-own-group") return setpriority_of(PRIO_PGRP, 0);
  if (op == "setaffinity") return setaffinity_of(to_int(arg(0)));
  if (op == "setscheduler") return setscheduler_of(to_int(arg(0)));
  if (op == "ioprio") return ioprio_of(to_int(arg(0)));
  if (op == "shm-read") return shm_read(to_int(arg(0)));
  if (op == "keyring") return session_keyring();
  if (op == "clone-parent") return clone_with(CLONE_PARENT);
  if (op == "fanotify") return check(::syscall(SYS_fanotify_init, 0, O_RDONLY));
  if (op == "open-tty") return check(::open("/dev/tty", O_RDWR | O_CLOEXEC));
  if (op == "proc-pids") {
    DIR* dir = ::opendir("/proc");
    if (!dir) return failed(errno);
    std::puts("ok");
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') std::printf("%s ", entry->d_name);
    }
    std::puts("");
    ::closedir(dir);
    return 0;
  }
  if (op == "session") {
    std::printf("ok\n%d %d %d\n", ::getpid(), ::getpgrp(), ::getsid(0));
    return 0;
  }
  if (op == "unshare-user") return check(::unshare(CLONE_NEWUSER));
  if (op == "clone-newuser") return clone_with(CLONE_NEWUSER);
  if (op == "clone3") return clone3_plain();
  if (op == "pidfd-getfd") return pidfd_getfd_own_child();
  if (op == "tiocsti") return tiocsti(to_int(arg(0)), false);
  if (op == "tiocsti-high") return tiocsti(to_int(arg(0)), true);
  if (op == "capabilities") return capabilities();
  if (op == "sethostname-same") {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return failed(errno);
    return check(::sethostname(name, std::strlen(name)));
  }
  if (op == "x32-getpid") return x32_getpid();
  if (op == "int80-getpid") return int80_getpid();

  // The process itself.
  if (op == "identity") {
    std::printf("ok\n%d %d %d\n", ::getpid(), ::getpgrp(), ::getsid(0));
    return 0;
  }
  if (op == "fd-open") return check(::fcntl(to_int(arg(0)), F_GETFD));
  if (op == "wait-stdin") {
    char buf[64];
    while (::read(0, buf, sizeof buf) > 0) {
    }
    return ok();
  }
  std::fprintf(stderr, "sandbox_probe: unknown operation %s\n", argv[1]);
  return 2;
}
