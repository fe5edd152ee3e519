// Replacing the launcher's last process by the program.
#pragma once

namespace quellar::sandbox {

// execve of `program` with `argv` (argv[0] is the name the program sees).
// Looks the program up in PATH when its name has no slash, as sandbox-exec
// does. Returns only on failure, with the errno of the most telling attempt.
int exec_program(const char* program, char** argv);

}  // namespace quellar::sandbox
