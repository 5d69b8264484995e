// CZQTalvaneApp: the station's application object: start-up, the modal main window, shutdown.
//
// Run() needs a QApplication and runs, in this order: the folders; Systemcfg.xml (created from
// the template on first use); DeviceInfo.xml; the record store; the language table; the skin
// folder; the activity log (startup::StartCore does these); the window theme ("Vista.theme" with
// "NormalBlack.ini" from the program folder); the command line's splash flag; ZQNetInit and
// ZQNetSetEncription(1); the playback library (ZQPlayInitPlayLib); then the main window, run
// modally until it closes. Shutdown, in order: the record store is closed, the playback library
// is released (ZQPlayDeinitPlayLib), then ZQNetRelease, then the log is closed and the option
// flags are saved into Systemcfg.xml (startup::FinishCore). No step stops the program:
// whatever cannot be read or opened is left at its default. Run() returns 0.
//
// Tests may set the folders (empty: the production folders) and watch the steps through
// `on_step`, which is called with each step's name as it begins ("folders", "core", "skin",
// "command line", "device library", "playback library", "main window", "close records",
// "release playback library", "release device library", "finish core"), and with
// "main window shown" once the main window is up.
//
// SIGTERM, SIGINT and SIGHUP end the station as closing its main window does: the log notes
// "ZQTalvane: stopped by signal N", every open box is closed (as with Escape, the box's Cancel),
// then the main window, and the shutdown above runs. A signal during start-up closes the main
// window as soon as it runs; one while the test script runs is handled after it. UI thread only.
#pragma once

#include <functional>
#include <string>

class CZQTalvaneDlg;

class CZQTalvaneApp {
  public:
    struct Options {
        std::string program_folder;  // ends with '/'; empty: the executable's folder
        std::string config_folder;   // ends with '/'; empty: the per-user folder
    };

    CZQTalvaneApp() = default;
    explicit CZQTalvaneApp(Options options) : options_(std::move(options)) {}

    int Run(int argc, const char* const* argv);

    std::function<void(const char* step, CZQTalvaneDlg* main_window)> on_step;

  private:
    void InitInstance(int argc, const char* const* argv);
    int ExitInstance();
    void Step(const char* name, CZQTalvaneDlg* main_window = nullptr);
    void StopOnSignal(int signal);
    void CloseForStop();

    Options options_;
    CZQTalvaneDlg* main_window_ = nullptr;  // while it runs
    bool stopping_ = false;
};
