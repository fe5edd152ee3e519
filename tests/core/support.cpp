#include "support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace quellar::test {

TempDir::TempDir() {
  char templ[] = "/tmp/quellar-test-XXXXXX";
  if (!mkdtemp(templ)) throw std::runtime_error("mkdtemp failed");
  path_ = std::filesystem::canonical(templ).string();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::make_dir(const std::string& name) const {
  std::string full = *this / name;
  std::filesystem::create_directories(full);
  return full;
}

std::string TempDir::make_file(const std::string& name, const std::string& content,
                               unsigned mode) const {
  std::string full = *this / name;
  std::ofstream(full, std::ios::binary) << content;
  ::chmod(full.c_str(), mode);
  return full;
}

std::string TempDir::make_symlink(const std::string& name, const std::string& target) const {
  std::string full = *this / name;
  if (::symlink(target.c_str(), full.c_str()) != 0) throw std::runtime_error("symlink failed");
  return full;
}

int open_fd_count() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count - 1;  // the iterator's own descriptor
}

namespace {
// Field of /proc/<pid>/stat after the command name: state is the first,
// parent pid the second.
bool read_stat(int pid, char& state, int& parent) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return false;
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 4 > line.size()) return false;
  state = line[close + 2];
  parent = std::atoi(line.c_str() + close + 4);
  return true;
}
}  // namespace

int child_process_count() {
  int self = ::getpid();
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (read_stat(std::atoi(name.c_str()), state, parent) && parent == self) ++count;
  }
  return count;
}

bool process_exists(int pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

bool process_is_zombie(int pid) {
  char state = 0;
  int parent = 0;
  return read_stat(pid, state, parent) && state == 'Z';
}

bool gone_within(int pid, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!process_exists(pid) || process_is_zombie(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool no_children_within(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (child_process_count() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

int read_number_within(const std::string& file, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int number = 0;
    std::ifstream(file) >> number;
    if (number > 0 || std::chrono::steady_clock::now() >= deadline) return number;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool fd_count_within(int count, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (open_fd_count() > count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace quellar::test
