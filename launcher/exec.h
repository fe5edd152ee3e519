// Replacing the launcher by the program.
#pragma once

namespace quellar::sandbox {

// execve in place: same pid, same process group, and the program's exit
// status is the one the parent collects. Looks the program up in PATH when
// its name has no slash, as sandbox-exec does. Returns only on failure, with
// the errno of the most telling attempt.
int exec_program(char** argv);

}  // namespace quellar::sandbox
