#ifndef PLATFORM_PLATFORM_POSIXSUPPORT_H
#define PLATFORM_PLATFORM_POSIXSUPPORT_H

// Internals shared by the POSIX stand-in's sources (platform/posix/). This header sees
// neither Windows' nor the system's option numbers, so every source may include it.
namespace wsa_posix {

// Windows' error number for a system errno value.
int windowsError(int systemError);

// Records errno, as Windows' number, as the calling thread's last error.
void recordSystemError();

// Records a Windows error number as the calling thread's last error.
void recordError(int windowsError);

// Maps a socket option given in Windows' numbering to the system's; false when the system
// has no such option.
bool systemOption(int level, int option, int& systemLevel, int& systemOptionName);

// True when the level and option are Windows' linger option, whose record needs translating.
bool isLingerOption(int level, int option);

// True when the level and option are Windows' send or receive time-out, whose value is a count
// of milliseconds to translate into the system's time record.
bool isTimeoutOption(int level, int option);

// True when the level and option are Windows' pending-error option, whose value is an error
// number to translate.
bool isErrorOption(int level, int option);

} // namespace wsa_posix

#endif
