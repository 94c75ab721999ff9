// Where the programs keep what they write for their user: "SessionKey.ini", "WinSize.ini",
// "Log" and the HTTP client's cookie file.
//
// A program folder the user may write (a per-user install, a build or test folder) keeps
// them itself. A system install's folder is written only by the package manager: there
// they go to the user's state folder, $XDG_STATE_HOME/veltrane (default
// ~/.local/state/veltrane), created with mode 0700. Configuration ("Update.ini",
// "veltrane_url.ini") is always read from the program folder.
#pragma once

#include <string>

// True when the user may not write `program_dir`: a system install, which gets its
// updates from the package manager.
bool IsSystemInstall(const std::string& program_dir);

// The user's state folder: $XDG_STATE_HOME (when absolute) or $HOME/.local/state, plus
// "/veltrane"; empty when neither variable says where. Not created here.
std::string UserStateFolder();

// The folder for the user's files of the programs in `program_dir`: `program_dir` itself,
// or for a system install the user's state folder, created (mode 0700) when missing.
// Empty when that folder cannot be found or made private to the user.
std::string UserFileFolder(const std::string& program_dir);

// UserFileFolder(program_dir) + "/" + name; empty when the folder is empty.
std::string UserFilePath(const std::string& program_dir, const char* name);
