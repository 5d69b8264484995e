#include "app/zqtalvane_app.h"

#include <QApplication>
#include <QDialog>
#include <QFont>
#include <QTimer>

#include "app/main_dlg.h"
#include "app/splash_wnd.h"
#include "config/startup.h"
#include "config/system_config.h"
#include "device/ZQNet.h"
#include "device/ZQPlay.h"
#include "i18n/language_table.h"
#include "platform/command_line.h"
#include "platform/stop_signals.h"
#include "records/activity_log.h"
#include "skin/skin.h"
#include "ui/shell.h"

void CZQTalvaneApp::Step(const char* name, CZQTalvaneDlg* main_window) {
    if (on_step) {
        on_step(name, main_window);
    }
}

int CZQTalvaneApp::Run(int argc, const char* const* argv) {
    InitInstance(argc, argv);
    return ExitInstance();
}

void CZQTalvaneApp::StopOnSignal(int signal) {
    if (stopping_) {
        return;
    }
    stopping_ = true;
    records::WriteLog("ZQTalvane: stopped by signal %d\n", signal);
    if (main_window_ != nullptr) {
        CloseForStop();
    }
}

// Closes the box on top, one a tick (a closed box may lead to another), then the main window.
void CZQTalvaneApp::CloseForStop() {
    auto* closer = new QTimer(main_window_);
    CZQTalvaneDlg* main = main_window_;
    QObject::connect(closer, &QTimer::timeout, closer, [closer, main] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != main) {
            if (auto* box = qobject_cast<QDialog*>(modal)) {
                box->reject();
            } else {
                modal->close();
            }
            return;
        }
        closer->stop();
        main->reject();
    });
    closer->start(10);
}

void CZQTalvaneApp::InitInstance(int argc, const char* const* argv) {
    platform::OnStopSignals([this](int signal) { StopOnSignal(signal); });
    auto& shell = app::Shell();
    CAppSettings& settings = shell.settings;
    // The graphics library is Qt's own, started with the QApplication.

    Step("folders");
    startup::FixFolders(settings);
    if (!options_.program_folder.empty()) {
        settings.program_folder = options_.program_folder;
    }
    if (!options_.config_folder.empty()) {
        settings.config_folder = options_.config_folder;
    }

    Step("core");
    startup::StartCore(settings);
    shell.text = [](int id) { return i18n::Text(id); };
    shell.save_user_password = [](const CAppSettings& s) { return config::SaveUserPassword(s); };

    Step("skin");
    // The Chinese tables ask for the face "宋体"; on this platform a CJK Song face stands in.
    QFont::insertSubstitutions(QStringLiteral("宋体"), {QStringLiteral("Noto Serif CJK SC"),
                                                        QStringLiteral("Noto Sans CJK SC"),
                                                        QStringLiteral("AR PL UMing CN")});
    skin::LoadSkin(QString::fromStdString(settings.program_folder + "Vista.theme"),
                   QString::fromStdString(settings.program_folder + "NormalBlack.ini"));

    Step("command line");
    CSplashWnd::EnableSplashScreen(platform::ParseCommandLine(argc, argv).show_splash);

    Step("device library");
    ZQNetInit();
    ZQNetSetEncription(1);

    Step("playback library");
    ZQPlayInitPlayLib(0, 1, 0);

    Step("main window");
    {
        CZQTalvaneDlg main_window;
        main_window_ = &main_window;
        QTimer::singleShot(0, &main_window, [this, &main_window] {
            if (stopping_) {
                CloseForStop();  // stopped during the start
            } else {
                Step("main window shown", &main_window);
            }
        });
        main_window.exec();
        main_window_ = nullptr;
        CSplashWnd::HideSplashScreen();
    }
}

int CZQTalvaneApp::ExitInstance() {
    Step("close records");
    startup::CloseRecords();
    Step("release playback library");
    ZQPlayDeinitPlayLib();
    Step("release device library");
    ZQNetRelease();
    Step("finish core");
    startup::FinishCore(app::Settings());
    platform::OnStopSignals(nullptr);
    return 0;
}
