// What happens to this library when the host process forks: the one place
// that says so, in one explicit order. Locks are taken before fork() from the
// outermost to the innermost and released after it in reverse, so the child
// never inherits one held by a thread that does not exist there. In the child
// the parent's supervision is forgotten, never used: its threads are gone,
// its children are not this process's to signal, and the write ends of their
// input pipes are closed so that they still see the end of their input.
#pragma once

#include <cstdint>

namespace quellar::host_fork {

// Registers the fork handlers, once per process (every entry that starts
// threads or children calls it first).
void install();

// Runs `step` in a forked child after the library's own steps, in the order
// the steps were added (a binding forgetting its own per-process state).
void add_child_step(void (*step)());

// Marks a descriptor to be closed in a process forked from this one (the
// write end of a child's input, which a forked copy must not keep open).
// Unregister (destroy, or release()) before closing the descriptor.
class CloseInForkedChild {
 public:
  CloseInForkedChild() = default;
  explicit CloseInForkedChild(int fd);
  CloseInForkedChild(CloseInForkedChild&& other) noexcept;
  CloseInForkedChild& operator=(CloseInForkedChild&& other) noexcept;
  ~CloseInForkedChild();
  void release();

 private:
  std::uint64_t id_ = 0;
};

}  // namespace quellar::host_fork
