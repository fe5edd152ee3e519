#include "validate.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>

#include "../text.h"

namespace quellar {
namespace {

bool is_absolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

SandboxError validation_error(SandboxErrorKind kind) { return SandboxError::of(kind); }

// stat() following links; kind is S_IFDIR or S_IFREG.
std::expected<bool, IoError> has_type(const Path& path, mode_t kind) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(IoError::from_errno(errno));
  return (st.st_mode & S_IFMT) == kind;
}

}  // namespace

std::expected<Path, IoError> canonical_path(const Path& path) {
  if (contains_nul(path)) {
    return std::unexpected(IoError::invalid_input(std::string(kNulInPathMessage)));
  }
  // realpath with a null buffer allocates exactly what it needs, so no path
  // length limit of ours applies.
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved) return std::unexpected(IoError::from_errno(errno));
  return Path(resolved.get());
}

bool path_within(std::string_view inner, std::string_view outer) {
  if (outer == "/") return is_absolute(inner);
  if (!inner.starts_with(outer)) return false;
  return inner.size() == outer.size() || inner[outer.size()] == '/';
}

std::expected<ExecutableIdentity, SandboxError> validate_request(const ExecutionRequest& request,
                                                                 std::string_view input) {
  if (!is_absolute(request.executable)) {
    return std::unexpected(validation_error(SandboxErrorKind::RelativeExecutable));
  }
  if (request.cwd && !is_absolute(*request.cwd)) {
    return std::unexpected(validation_error(SandboxErrorKind::RelativeWorkingDirectory));
  }
  if (input.size() > request.max_stdin_bytes) {
    return std::unexpected(validation_error(SandboxErrorKind::InputTooLarge));
  }

  if (request.cwd && request.policy.filesystem) {
    auto cwd = canonical_path(*request.cwd);
    if (!cwd) {
      return std::unexpected(
          SandboxError::of(SandboxErrorKind::InvalidWorkingDirectory, std::move(cwd.error())));
    }
    auto is_dir = has_type(*cwd, S_IFDIR);
    if (!is_dir || !*is_dir) {
      return std::unexpected(
          SandboxError::of(SandboxErrorKind::InvalidWorkingDirectory,
                           is_dir ? IoError::invalid_input("working directory is not a directory")
                                  : std::move(is_dir.error())));
    }
    bool granted = false;
    for (const FilesystemGrant& grant : request.policy.filesystem->grants) {
      if (grant.access.empty()) continue;
      // A grant that does not resolve grants nothing; its error is not ours.
      auto root = canonical_path(grant.path);
      if (root && path_within(*cwd, *root)) {
        granted = true;
        break;
      }
    }
    if (!granted) {
      return std::unexpected(validation_error(SandboxErrorKind::WorkingDirectoryNotGranted));
    }
  }

  auto canonical = canonical_path(request.executable);
  if (!canonical) {
    return std::unexpected(
        SandboxError::of(SandboxErrorKind::InvalidExecutable, std::move(canonical.error())));
  }
  auto is_file = has_type(*canonical, S_IFREG);
  if (!is_file || !*is_file) {
    return std::unexpected(
        SandboxError::of(SandboxErrorKind::InvalidExecutable,
                         is_file ? IoError::invalid_input("executable is not a regular file")
                                 : std::move(is_file.error())));
  }
  return ExecutableIdentity{request.executable, std::move(*canonical)};
}

}  // namespace quellar
