// The station's folders on this platform.
//
// Every folder text ends in '/'. Both functions are thread-safe and never fail: when the
// environment gives nothing usable they fall back as described.
#pragma once

#include <string>

namespace platform {

// The per-user configuration folder: $XDG_CONFIG_HOME (or $HOME/.config when that is unset or
// empty) followed by "/Talvane Config/". The folder is not created here.
std::string ConfigFolder();

// The folder of the running executable (from /proc/self/exe), or "./" when it cannot be found.
std::string ProgramFolder();

// Creates `folder` and all missing parents. True when it exists as a folder afterwards.
bool MakeFolders(const std::string& folder);

// True when `path` names an existing regular file (not a folder).
bool IsFile(const std::string& path);

}  // namespace platform
