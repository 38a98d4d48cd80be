// The process's command line and the folder of its program.
#pragma once

#include <string>

namespace tarvix::platform {

// The command line in the Windows form: the program path in double quotes, then the arguments
// separated by blanks.
std::string CommandLine();
// The folder that holds the running program ("" when it cannot be found).
std::string ProgramFolder();
// The value of an environment variable, or "" when it is not set.
std::string Environment(const char* name);
bool HasEnvironment(const char* name);
// Threads the process has now, the calling one included (0 when that cannot be told).
int ThreadCount();

}  // namespace tarvix::platform
