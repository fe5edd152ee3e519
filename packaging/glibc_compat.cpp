// Built into the wheel's extension only (scripts/build-wheel.sh), which is
// linked against glibc 2.28 so that it loads on older systems than the one
// that builds it. The spawn code uses two file actions that glibc added
// later; these definitions take their place in the link. Each forwards to the
// C library's own function when the running glibc has it, found by its
// symbol version, and otherwise does what an older glibc allows.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <spawn.h>
#include <stdlib.h>

namespace {

template <typename Function>
Function* from_libc(const char* name, const char* version) {
  return reinterpret_cast<Function*>(::dlvsym(RTLD_DEFAULT, name, version));
}

}  // namespace

extern "C" {

// glibc 2.34. Before it, the child closes every descriptor that is open at
// this call from `first` up. A descriptor another thread opens between this
// call and the spawn without O_CLOEXEC would escape; Python opens its own
// non-inheritable, so in a Python host that leaves only foreign C code.
int posix_spawn_file_actions_addclosefrom_np(posix_spawn_file_actions_t* actions, int first) {
  using Function = int(posix_spawn_file_actions_t*, int);
  static Function* const real = from_libc<Function>("posix_spawn_file_actions_addclosefrom_np", "GLIBC_2.34");
  if (real != nullptr) return real(actions, first);

  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return errno;
  const int own = ::dirfd(directory);
  int rc = 0;
  while (const dirent* entry = ::readdir(directory)) {
    char* end = nullptr;
    const long fd = ::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd < first || fd == own) continue;
    // A descriptor that is closed by the time of the spawn is no error:
    // glibc ignores EBADF of a close action.
    if ((rc = ::posix_spawn_file_actions_addclose(actions, static_cast<int>(fd))) != 0) break;
  }
  ::closedir(directory);
  return rc;
}

// glibc 2.29. glibc 2.28 has no way to change the child's working directory
// inside posix_spawn; ENOSYS tells the spawn code to start such a run by a
// fork and exec of its own.
int posix_spawn_file_actions_addchdir_np(posix_spawn_file_actions_t* actions, const char* path) {
  using Function = int(posix_spawn_file_actions_t*, const char*);
  static Function* const real = from_libc<Function>("posix_spawn_file_actions_addchdir_np", "GLIBC_2.29");
  if (real != nullptr) return real(actions, path);
  return ENOSYS;
}

}  // extern "C"
