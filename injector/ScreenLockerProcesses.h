#pragma once
// What /proc tells of a process that may be a screen locker, for the Linux lock screen's checks: its
// name, user, program file, DISPLAY, and whether code other than the system's may run in it.
//
// Thread: any.
#include <sys/types.h>

#include <optional>
#include <string>

namespace Injector {

// The command name, as /proc gives it (cut to 15 bytes); empty when the process is gone.
std::string commandName(pid_t pid);
std::optional<uid_t> realUserOf(pid_t pid);
// The DISPLAY a process was started with, from its environment.
std::optional<std::string> displayOf(pid_t pid);
// The executable is the system's program of that name: under a system folder, owned by root, writable by
// nobody else, and its file name is the command name.
bool isSystemProgram(pid_t pid, const std::string& commandName);
// Why code other than the system's may run in the process; none when nothing says so.
std::optional<std::string> tamperingOf(pid_t pid);

}  // namespace Injector
