#pragma once
#include <cstdio>
#include <string>

namespace zem {

// Separator used in names the program builds ("Instance20\", "LocalConfig\DeviceConfig.ini").
char PathSeparator();

// Absolute path of the current directory, ending in the separator ("full path of .\").
std::string CurrentDirWithSeparator();

// Current directory without a trailing separator; empty on failure.
std::string CurrentDir();
bool SetCurrentDir(const std::string& dir);

// A program started in its own installed folder (a shortcut of a machine-wide install that chose
// no station folder) works in the user's own folder instead: %LOCALAPPDATA%\Zem on Windows, made
// at the first start. In any other folder, and on other systems, nothing changes. False when that
// folder could not be made or entered; the program then stays where it was started.
bool UseUserFolderIfInProgramFolder();

bool FileExists(const std::string& path);

// Whether files can be created in the folder (the settings, logs and dumps that the programs keep
// in their working folder). Judged by the system's own rules for this process, which on Windows
// means actually creating a file, since permissions there are not in a mode word.
bool IsFolderWritable(const std::string& dir);

// Characters that cannot stand in a file name on either platform.
bool IsForbiddenFileNameChar(char c);

// Opens an existing regular file for reading in binary mode; null for anything else (a FIFO, a
// device, a directory), which is refused without being opened, so a read can never block on it.
std::FILE* OpenRegularFile(const std::string& path);

// A file that other users of this computer may read (a private key must not be). False when
// the system keeps no such rights in a form this can read (Windows' access lists are not
// looked at) or the file is not there.
bool IsReadableByOthers(const std::string& path);

// Replace a file by another one atomically where the platform allows it.
bool ReplaceFile(const std::string& from, const std::string& to);

// Gives a file a new name only when nothing has that name yet: a kept file is never replaced.
// `taken` tells a name already in use from any other failure.
bool RenameNoReplace(const std::string& from, const std::string& to, bool& taken);

} // namespace zem
