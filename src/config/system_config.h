// Systemcfg.xml, the operator's settings file in the configuration folder.
//
// The loader reads the root's children strictly in this order, each searched forward from the
// previous one found (element names are case-sensitive): Language (attribute cursel, children
// language with attribute path), Version, ID_CHECK_SERVER_IP, ID_CHECK_SERVER_PORT,
// UserPassword, EnableUserPassword, DeviceInfo (24 flag children). An element out of order is
// not seen and its setting keeps its start value. The power flag is written as PoePowerNum and
// read from PoePowerNum when the file holds it there, else from PoePower.
//
// What callers may rely on: nothing here fails start-up or shows anything. A missing,
// unreadable, damaged or read-only file leaves the settings as they were and is never written.
// Writes replace only the texts of existing elements, keep the file's encoding, and go through a
// temporary file in the same folder, flushed to disk and renamed over Systemcfg.xml (over the
// target when Systemcfg.xml is a symbolic link), so the file is never left torn or empty. A
// write that would lose characters in the file's encoding writes nothing; one that changes
// nothing does not touch the file. User-interface thread only.
#pragma once

#include <string>
#include <string_view>

#include "config/app_settings.h"

namespace config {

// What a save of a setting into Systemcfg.xml did.
enum class SaveResult {
    kWritten,     // the file holds the value afterwards (written, or holding it already)
    kNotWritten,  // nothing written: the file is missing, unreadable, damaged or read-only, or
                  // lacks the element
    kEncoding,    // nothing written: the file's encoding cannot hold a character of the value
};

// Element names of the option flags, in file order: the name read when the written name is
// absent, and the name written (and read first).
const char* OptionReadName(int flag);
const char* OptionWriteName(int flag);

// Leading-number conversion: optional white space, optional sign, digits; anything else stops
// it. Text that does not start with a number reads as 0. Saturates instead of overflowing.
long long LeadingNumber(std::string_view text);

// If config_folder + "Systemcfg.xml" is not a file, creates the folder (with parents) and copies
// program_folder + "Systemcfg.bk" there, never overwriting; the copy is on disk before it
// appears under its name. Failure is not reported.
void FirstUseCopy(const CAppSettings& settings);

// First-use copy, then fills the settings from Systemcfg.xml. True when the file was read.
bool LoadSystemConfig(CAppSettings& settings);

// First-use copy, then writes the 24 option flags as "1"/"0" into the existing flag elements.
// True when the file holds them afterwards (written, or already holding them and left as it was).
bool SaveOptionFlags(const CAppSettings& settings);

// Writes settings.user_password into the existing UserPassword element (no first-use copy).
SaveResult SaveUserPassword(const CAppSettings& settings);

}  // namespace config
