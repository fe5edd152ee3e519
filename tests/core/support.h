// Helpers shared by the core test suites: temporary trees, descriptor and
// child-process counts.
#pragma once

#include <chrono>
#include <string>

namespace quellar::test {

// A fresh directory under /tmp (canonical path), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  std::string make_dir(const std::string& name) const;
  std::string make_file(const std::string& name, const std::string& content = "",
                        unsigned mode = 0644) const;
  std::string make_symlink(const std::string& name, const std::string& target) const;

 private:
  std::string path_;
};

// Open descriptors of this process (entries of /proc/self/fd).
int open_fd_count();
// Processes whose parent is this process, zombies included.
int child_process_count();
// Whether a process with this pid exists (zombies count as existing).
bool process_exists(int pid);
// Whether the process is a zombie (exited, not yet reaped).
bool process_is_zombie(int pid);
// Waits (generously) until the process has gone or is a zombie (killed,
// waiting for whoever reaps it).
bool gone_within(int pid, std::chrono::milliseconds limit = std::chrono::seconds(5));
// Waits until this process has no child processes left.
bool no_children_within(std::chrono::milliseconds limit = std::chrono::seconds(5));
// Waits until `file` holds a number (a pid a child writes on its own time);
// 0 if it does not within `limit`.
int read_number_within(const std::string& file,
                       std::chrono::milliseconds limit = std::chrono::seconds(5));
// Waits until this process's descriptor count is at most `count`.
bool fd_count_within(int count, std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace quellar::test
