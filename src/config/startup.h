// The steps of the station's start-up and shutdown that need no window. The application object
// calls them in this order, with its own (UI) steps in between:
//
//   start-up:  FixFolders, StartCore, then skin, command line, the device network library, the
//              playback library, main window
//   shutdown:  CloseRecords, then the playback library, the device network library, then
//              FinishCore
//
// What callers may rely on: none of these fails or stops the program. Whatever cannot be read
// or opened is left at its default: settings from a missing or damaged Systemcfg.xml, empty
// option lists, no records, texts that are single spaces, no log. User-interface thread only.
#pragma once

#include "config/app_settings.h"

namespace startup {

// The configuration folder (platform::ConfigFolder) and the program folder
// (platform::ProgramFolder). Tests may change both afterwards.
void FixFolders(CAppSettings& settings);

// In order: Systemcfg.xml (created from Systemcfg.bk on first use), DeviceInfo.xml, the record
// store ZQTalvane.db with its tables, the language table, the skin folder, and the activity log
// ZQTalvaneLog.txt, all in the folders of `settings`.
void StartCore(CAppSettings& settings);

// Closes the record store.
void CloseRecords();

// Closes the activity log and saves the option flags into Systemcfg.xml (copied again from
// Systemcfg.bk first if it has disappeared).
void FinishCore(const CAppSettings& settings);

}  // namespace startup
