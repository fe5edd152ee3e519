// Reporting a failure: a status record on the parent's pipe when there is
// one, otherwise one line on standard error. Either way the launcher exits
// without running anything, with a status that cannot pass for the program's
// own.
#pragma once

#include <optional>

#include "failure.h"

namespace quellar::sandbox {

class StatusReporter {
 public:
  explicit StatusReporter(std::optional<int> status_fd) : status_fd_(status_fd) {}

  [[noreturn]] void fail(const Failure& failure) const;

  // The descriptor, for the processes that must close it once the program
  // no longer needs them to report.
  std::optional<int> fd() const { return status_fd_; }

 private:
  std::optional<int> status_fd_;
};

// The exit code for a failure (sysexits.h for our own stages, the shell's
// 126/127 for a program that cannot be executed or found).
int exit_code_for(const Failure& failure);

}  // namespace quellar::sandbox
