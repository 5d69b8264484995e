#include "config/startup.h"

#include "config/device_options.h"
#include "config/system_config.h"
#include "i18n/language_table.h"
#include "platform/folders.h"
#include "records/activity_log.h"
#include "records/record_store.h"

namespace startup {

void FixFolders(CAppSettings& settings) {
    settings.config_folder = platform::ConfigFolder();
    settings.program_folder = platform::ProgramFolder();
}

void StartCore(CAppSettings& settings) {
    config::LoadSystemConfig(settings);
    config::LoadDeviceOptions(settings.program_folder);
    records::OpenRecordStore(records::Store(), settings.config_folder);
    i18n::LoadLanguage(settings.program_folder, settings.language_file);
    settings.skin_folder = settings.program_folder + "Skin_normal/";
    records::OpenActivityLog(settings.config_folder + "ZQTalvaneLog.txt");
}

void CloseRecords() {
    records::Store().Close();
}

void FinishCore(const CAppSettings& settings) {
    records::CloseActivityLog();
    config::SaveOptionFlags(settings);
}

}  // namespace startup
