// Where quellar-sandbox lives on Linux, and whether this kernel can enforce
// what it applies.
#include <dlfcn.h>
#include <link.h>
#include <linux/landlock.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "launcher.h"
#include "launcher_host.h"
#include "namespaces.h"

namespace quellar::platform {
namespace {

constexpr const char* kLauncherName = "quellar-sandbox";

struct FindObject {
  const void* address;
  std::optional<Path> file;  // set when found; empty string means the main program
};

int find_object(struct dl_phdr_info* info, size_t, void* data) {
  auto* find = static_cast<FindObject*>(data);
  auto address = reinterpret_cast<ElfW(Addr)>(find->address);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    ElfW(Addr) start = info->dlpi_addr + ph.p_vaddr;
    if (address >= start && address < start + ph.p_memsz) {
      find->file = info->dlpi_name ? Path(info->dlpi_name) : Path();
      return 1;
    }
  }
  return 0;
}

// The directory of the ELF object this code was linked into.
std::optional<Path> own_directory() {
  FindObject find{reinterpret_cast<const void*>(&own_directory), std::nullopt};
  dl_iterate_phdr(find_object, &find);
  Path file;
  if (find.file && !find.file->empty()) {
    file = *find.file;
  } else {
    // The main program has no name in the loader's list.
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    file.assign(buf, static_cast<size_t>(n));
  }
  auto slash = file.rfind('/');
  if (slash == Path::npos) return std::nullopt;
  return file.substr(0, slash == 0 ? 1 : slash);
}

const std::optional<Path>& located_launcher() {
  // The library cannot move while loaded, so look once.
  static const std::optional<Path> path = []() -> std::optional<Path> {
    auto dir = own_directory();
    if (!dir) return std::nullopt;
    return *dir + (dir->back() == '/' ? "" : "/") + kLauncherName;
  }();
  return path;
}

// The kernel's Landlock ABI version, or the errno saying why there is none.
// Asking for the version creates nothing and spawns nothing.
int landlock_abi_or_errno() {
  long abi = ::syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi >= 1) return static_cast<int>(abi);
  return errno != 0 ? -errno : -ENOSYS;
}

// Whether a process of ours could get the namespaces the launcher asks for:
// the process is started in them and exits at once.
bool pid_namespaces_available() {
  const unsigned long flags = static_cast<unsigned long>(contained_namespace_flags()) | SIGCHLD;
  // A plain fork of this (possibly multi-threaded) process; the child only
  // exits, which is safe whatever the other threads held.
  const long pid = ::syscall(SYS_clone, flags, nullptr, nullptr, nullptr, nullptr);
  if (pid == 0) ::_exit(0);
  if (pid < 0) return false;
  int status = 0;
  while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace

bool contained_runs_die_with_supervisor() {
  static const bool available = isolation_available() && pid_namespaces_available();
  return available;
}

IoError missing_launcher_error() {
  return IoError::unsupported(
      "Linux filesystem isolation requires the quellar-sandbox launcher next to the quellar "
      "library");
}

std::expected<Path, IoError> host_sandbox_launcher() {
  const std::optional<Path>& launcher = located_launcher();
  if (!launcher || !is_regular_file(*launcher)) return std::unexpected(missing_launcher_error());
  if (auto refused = untrusted_launcher(*launcher)) return std::unexpected(std::move(*refused));
  // The launcher refuses to run anything without Landlock; saying so here
  // gives the caller the reason instead of a failed start. Not cached: one
  // system call, and a test may take Landlock away from a child process.
  int abi = landlock_abi_or_errno();
  if (abi == -EOPNOTSUPP) {
    return std::unexpected(IoError::unsupported(
        "Linux filesystem isolation requires Landlock, which is disabled on this host (it is "
        "missing from the lsm= kernel parameter)"));
  }
  if (abi < 0) {
    return std::unexpected(IoError::unsupported(
        "Linux filesystem isolation requires Landlock, which this kernel does not offer (Linux 5.13 "
        "or later)"));
  }
  return *launcher;
}

}  // namespace quellar::platform
