#pragma once
// What /proc tells of a process that may be a screen locker, for the Linux lock screen's checks: its
// name, user, parent, program file, DISPLAY, and whether code other than the system's may run in it.
// Also how xscreensaver's own programs are told apart from anything that calls itself by their names.
//
// Thread: any.
#include <sys/types.h>

#include <optional>
#include <string>

namespace Injector {

// The command name, as /proc gives it (cut to 15 bytes); empty when the process is gone.
std::string commandName(pid_t pid);
std::optional<uid_t> realUserOf(pid_t pid);
std::optional<pid_t> parentOf(pid_t pid);
// The DISPLAY a process was started with, from its environment.
std::optional<std::string> displayOf(pid_t pid);
// The executable is the system's program of that name: under a system folder, owned by root, writable by
// nobody else, and its file name is the command name.
bool isSystemProgram(pid_t pid, const std::string& commandName);
// Why code other than the system's may run in the process; none when nothing says so.
std::optional<std::string> tamperingOf(pid_t pid);

// xscreensaver's programs, by their command names.
inline constexpr const char* screenSaverDaemon = "xscreensaver";
inline constexpr const char* screenSaverDialog = "xscreensaver-au";
inline constexpr const char* screenSaverGraphics = "xscreensaver-gf";

// xscreensaver locks with processes of its own: its daemon holds the keyboard and covers the screen
// through the graphics program, and its dialog program reads the password. Why `child` is not one of
// those started by a genuine daemon on our display (the system's xscreensaver, of the child's user,
// started with our DISPLAY, nothing loaded into it, traced by nobody); none when it is, and `daemon`
// is then the daemon's.
std::optional<std::string> screenSaverChildDoubt(pid_t child, const std::string& displayName, pid_t& daemon);
// Why `dialog` is not the password dialog of a genuine xscreensaver daemon on our display (see above),
// started to read a password (not its splash screen) and traced by nobody; none when it is.
std::optional<std::string> screenSaverDialogDoubt(pid_t dialog, const std::string& displayName,
                                                  pid_t& daemon);

}  // namespace Injector
