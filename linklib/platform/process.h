// The process's command line and the folder of its program.
#pragma once

#include <cstdint>
#include <optional>
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
// Whether a process of that id runs now (another user's too).  True whenever the system does not
// tell: a caller must never take a running process for gone.
bool ProcessRuns(int64_t pid);
// When the process of that id started, in milliseconds since 1970 (never later than it did); empty
// when the system does not tell.
std::optional<int64_t> ProcessStartMs(int64_t pid);
// The numeric id of the user this process runs as, as the file system records a file's owner; empty
// on a system that records none.
std::optional<uint32_t> CurrentUserId();

// Threads the process has now, the calling one included (0 when that cannot be told).
int ThreadCount();

// Set while the system's module loader runs the library's load or unload notification: nothing may
// then load other modules or wait (device discovery is left to the first use).
void SetLoaderContext(bool inside);
bool InLoaderContext();

}  // namespace tarvix::platform
