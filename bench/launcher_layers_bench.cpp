// What each layer of quellar-sandbox costs, measured apart: every sample
// forks a process that applies one layer the way the launcher does and
// exits; the fork itself is measured too and subtracted. Then whole runs of
// /bin/true: spawned directly, and through the launcher.
//
//   build/<dir>/bin/launcher_layers_bench [samples]
//
// Prints one line per layer: microseconds per run (median of five rounds).
#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "capabilities.h"
#include "filesystem.h"
#include "isolation.h"
#include "landlock.h"
#include "profile.h"
#include "seccomp_policy.h"

using namespace quellar;
using namespace quellar::sandbox;

namespace {

using Clock = std::chrono::steady_clock;

// Microseconds per sample of `body`, run in a fresh child each time; the
// child's exit status must be 0.
double per_sample_us(int samples, const std::function<int()>& body) {
  std::vector<double> rounds;
  for (int round = 0; round < 5; ++round) {
    const auto start = Clock::now();
    for (int i = 0; i < samples; ++i) {
      pid_t pid = ::fork();
      if (pid == 0) ::_exit(body());
      int status = 0;
      ::waitpid(pid, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "a sample failed (status %d)\n", status);
        std::exit(1);
      }
    }
    rounds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / samples);
  }
  std::sort(rounds.begin(), rounds.end());
  return rounds[2];
}

// What the launcher does to get the program's namespaces: unshare, then the
// init is forked, mounts its /proc, and forks the program's process.
int namespaces(bool disable_network, bool own_proc) {
  auto isolation = isolate(disable_network);
  if (!isolation || !*isolation) return 1;
  pid_t init = ::fork();
  if (init == 0) {
    if (own_proc && !mount_own_proc()) ::_exit(2);
    pid_t program = ::fork();
    if (program == 0) ::_exit(0);
    int status = 0;
    ::waitpid(program, &status, 0);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(init, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

double spawn_us(int samples, const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  char* env[] = {nullptr};
  return per_sample_us(samples, [&] {
    pid_t pid = 0;
    if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), env) != 0) return 1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  });
}

std::string own_directory() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string path(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return path.substr(0, path.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::atoi(argv[1]) : 200;
  char work[] = "/tmp/quellar-layers-XXXXXX";
  if (::mkdtemp(work) == nullptr) return 1;
  auto text = build_profile(ProfileTarget::Linux, {{{work, {FilesystemAccess::Write}}}}, true);
  auto profile = parse_profile(*text);
  auto abi = landlock_abi();
  if (!profile || !abi) {
    std::fprintf(stderr, "no Landlock here\n");
    return 1;
  }

  const double fork = per_sample_us(samples, [] { return 0; });
  struct Layer {
    const char* name;
    std::function<int()> body;
  };
  const std::vector<Layer> layers = {
      {"session (setsid)", [] { return ::setsid() < 0; }},
      {"namespaces: PID, mount, IPC (+ the init's fork)", [] { return namespaces(false, false); }},
      {"  + the run's own /proc", [] { return namespaces(false, true); }},
      {"  + network", [] { return namespaces(true, true); }},
      {"no_new_privs and capabilities dropped",
       [] { return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !drop_all_capabilities(); }},
      {"profile parsed", [&] { return parse_profile(*text) ? 0 : 1; }},
      {"Landlock (base profile + one grant)",
       [&] { return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !apply_landlock(*profile, *abi); }},
      {"seccomp filter", [] { return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !install_seccomp({false, true}); }},
  };
  std::printf("fork + exit (subtracted below): %.1f us\n", fork);
  for (const Layer& layer : layers) {
    std::printf("%-50s %8.1f us\n", layer.name, per_sample_us(samples, layer.body) - fork);
  }
  const double direct = spawn_us(samples, {"/bin/true"});
  const double contained =
      spawn_us(samples, {own_directory() + "/quellar-sandbox", "-p", *text, "/bin/true"});
  std::printf("%-50s %8.1f us\n", "/bin/true, spawned and reaped", direct);
  std::printf("%-50s %8.1f us\n", "/bin/true under quellar-sandbox", contained);
  ::rmdir(work);
}
