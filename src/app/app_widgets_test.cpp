#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetricsF>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include "app/splash_wnd.h"
#include "config/system_config.h"
#include "platform/codepage.h"
#include "platform/command_line.h"
#include "platform/top_level_window.h"
#include "prompt_answerer.h"
#include "skin/skin.h"
#include "support/test_files.h"
#include "ui/color_static.h"
#include "ui/controls.h"
#include "ui/dlg_register.h"
#include "ui/message_box.h"
#include "ui/shell.h"

namespace {

// A skin folder whose pictures are plain squares of known colours, and a language table whose
// text n reads "T<n>".
class ShellFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        skin_ = dir_.path() + "/Skin_normal/";
        QDir().mkpath(skin_);
        Square(24, 24, kErrorColor).save(skin_ + "Error.png");
        Square(20, 30, kInfoColor).save(skin_ + "Info.png");
        Square(32, 32, kSuccessColor).save(skin_ + "Success.png");
        Square(300, 200, kSplashColor).save(skin_ + "Splash.png");
        auto& shell = app::Shell();
        shell = app::ShellState{};
        shell.text = [](int id) { return "T" + std::to_string(id); };
        shell.settings.skin_folder = skin_.toStdString();
        shell.settings.language_file = "EN.xml";
        shell.settings.version = "1.2.3";
        CSplashWnd::ResetForTest();
        CSplashWnd::EnableSplashScreen(true);
    }
    void TearDown() override {
        CSplashWnd::ResetForTest();
        QApplication::processEvents();
        app::Shell() = app::ShellState{};
    }

    static QImage Square(int w, int h, QColor c) {
        QImage image(w, h, QImage::Format_ARGB32);
        image.fill(c);
        return image;
    }

    static inline const QColor kErrorColor{10, 20, 200};
    static inline const QColor kInfoColor{200, 30, 200};
    static inline const QColor kSuccessColor{20, 180, 180};
    static inline const QColor kSplashColor{40, 60, 90};

    QTemporaryDir dir_;
    QString skin_;
};

// True when some pixel of the image is close to `c`.
bool HasColor(const QImage& image, QColor c) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            QColor p = image.pixelColor(x, y);
            if (std::abs(p.red() - c.red()) < 40 && std::abs(p.green() - c.green()) < 40 &&
                std::abs(p.blue() - c.blue()) < 40) {
                return true;
            }
        }
    }
    return false;
}

TEST_F(ShellFixture, MessageBoxShowsTextIconAndColourOfItsKind) {
    struct Case {
        int kind;
        QColor icon;  // invalid: no icon
        QSize icon_size;
        QColor text;
    };
    const Case cases[] = {
        {0, kErrorColor, {24, 24}, QColor(255, 0, 0)},
        {1, kInfoColor, {20, 30}, QColor(255, 0, 0)},
        {2, kSuccessColor, {32, 32}, QColor(0, 255, 0)},
        {3, QColor(), {}, QColor(0, 255, 0)},
        {-1, QColor(), {}, QColor(0, 255, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        CMyMessageBox box(151, c.kind);
        box.show();
        EXPECT_EQ(box.windowTitle(), "Prompt");
        auto* text = app::FindControl<QLabel>(&box, CMyMessageBox::kTextControlId);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text->text(), "T151");
        EXPECT_EQ(app::FindControl<QPushButton>(&box, 1)->text(), "T7");
        EXPECT_EQ(app::FindControl<QPushButton>(&box, 2)->text(), "T8");
        EXPECT_TRUE(HasColor(text->grab().toImage(), c.text));
        const QColor other = c.text == QColor(255, 0, 0) ? QColor(0, 255, 0) : QColor(255, 0, 0);
        EXPECT_FALSE(HasColor(text->grab().toImage(), other));

        const QImage shot = box.grab().toImage();
        if (c.icon.isValid()) {
            EXPECT_EQ(box.Icon().size(), c.icon_size);
            // Natural size, top-left corner at (10, 20).
            EXPECT_EQ(shot.pixelColor(10, 20), c.icon);
            EXPECT_EQ(shot.pixelColor(10 + c.icon_size.width() - 1, 20 + c.icon_size.height() - 1),
                      c.icon);
            EXPECT_NE(shot.pixelColor(10 + c.icon_size.width(), 20), c.icon);
            EXPECT_NE(shot.pixelColor(9, 20), c.icon);
        } else {
            EXPECT_TRUE(box.Icon().isNull());
            for (QColor icon : {kErrorColor, kInfoColor, kSuccessColor}) {
                EXPECT_NE(shot.pixelColor(14, 24), icon);
            }
        }
    }
}

TEST_F(ShellFixture, MessageBoxKeepsItsColoursUnderTheShippedTheme) {
    const QPalette default_palette = QApplication::palette();
    ASSERT_TRUE(
        skin::LoadSkin(ZQ_SOURCE_DIR "/data/Vista.theme", ZQ_SOURCE_DIR "/data/NormalBlack.ini"));
    for (int kind : {0, 2}) {
        CMyMessageBox box(151, kind);
        box.show();
        auto* text = app::FindControl<QLabel>(&box, CMyMessageBox::kTextControlId);
        EXPECT_TRUE(HasColor(text->grab().toImage(), CMyMessageBox::TextColorFor(kind))) << kind;
    }
    CDlgRegister dlg;
    dlg.show();
    auto* status = app::FindControl<CColorStatic>(&dlg, 1143);
    status->SetText("WWWW");
    EXPECT_TRUE(HasColor(status->grab().toImage(), QColor(255, 0, 0)));
    qApp->setStyleSheet(QString());
    QApplication::setPalette(default_palette);
}

TEST_F(ShellFixture, MessageFontIsSongtiOnlyForTheChineseTables) {
    const std::pair<const char*, const char*> cases[] = {
        {"CHS.xml", "宋体"}, {"CHT.xml", "宋体"}, {"cht.xml", "宋体"}, {"Chs.XML", "宋体"},
        {"EN.xml", "Arial"}, {"CHS.xm", "Arial"}, {"", "Arial"},       {"CHSS.xml", "Arial"},
    };
    for (const auto& [language, face] : cases) {
        SCOPED_TRACE(language);
        app::Settings().language_file = language;
        CMyMessageBox box(1, 0);
        QFont font = app::FindControl<QLabel>(&box, CMyMessageBox::kTextControlId)->font();
        EXPECT_EQ(font.family().toLower(), QString::fromUtf8(face).toLower());
        EXPECT_EQ(font.pixelSize(), 20);
        EXPECT_EQ(font.weight(), QFont::Normal);
    }
}

// The columns from the first to the last pixel that is clearly red.
int RedInkWidth(const QImage& image) {
    int first = image.width(), last = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            QColor p = image.pixelColor(x, y);
            if (p.red() > 150 && p.green() < 110 && p.blue() < 110) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
        }
    }
    return last < first ? 0 : last - first + 1;
}

// The message font is 20 pixels high with an average character width of 9: the drawn text is
// as much narrower (or wider) than the face's own width as 9 is to the face's average width.
TEST_F(ShellFixture, MessageTextIsDrawnTwentyHighAndNineWide) {
    app::Shell().text = [](int) { return std::string("Hxmo0482"); };
    for (const char* language : {"EN.xml", "CHS.xml"}) {
        SCOPED_TRACE(language);
        app::Settings().language_file = language;
        CMyMessageBox box(1, 0);
        box.show();
        auto* label = app::FindControl<QLabel>(&box, CMyMessageBox::kTextControlId);
        const QFont font = label->font();
        EXPECT_EQ(font.pixelSize(), 20);
        EXPECT_NEAR(QFontMetricsF(font).averageCharWidth(), 9.0, 0.5);

        QFont own(font.family());
        own.setPixelSize(20);
        QLabel reference(label->text());
        reference.setFont(own);
        reference.setPalette(label->palette());
        reference.adjustSize();
        const int drawn = RedInkWidth(label->grab().toImage());
        const int natural = RedInkWidth(reference.grab().toImage());
        ASSERT_GT(drawn, 0);
        ASSERT_GT(natural, 0);
        const double want = 9.0 / QFontMetricsF(own).averageCharWidth();
        EXPECT_NEAR(static_cast<double>(drawn) / natural, want, 0.04)
            << "drawn " << drawn << " px, at the face's own width " << natural << " px";
    }
}

TEST_F(ShellFixture, MessageBoxAnswersOkAndCountsTheSystemCloseAsCancel) {
    {
        CMyMessageBox box(48, 2);
        QTimer::singleShot(20, [] { platform::CloseTopLevelWindow("Prompt"); });
        EXPECT_EQ(box.DoModal(), CMyMessageBox::kIdCancel);
    }
    {
        CMyMessageBox box(48, 2);
        QTimer::singleShot(20, [&box] {
            QTest::mouseClick(app::FindControl<QPushButton>(&box, 1), Qt::LeftButton);
        });
        EXPECT_EQ(box.DoModal(), CMyMessageBox::kIdOk);
    }
    {
        CMyMessageBox box(48, 1);
        QTimer::singleShot(20, [&box] { QTest::keyClick(&box, Qt::Key_Escape); });
        EXPECT_EQ(box.DoModal(), CMyMessageBox::kIdCancel);
    }
}

TEST_F(ShellFixture, PromptAnswererRecordsBoxesInOrderAndAnswersById) {
    PromptAnswerer answerer(20);
    answerer.AnswerWith(166, CMyMessageBox::kIdCancel);
    EXPECT_EQ(CMyMessageBox(49, 0).DoModal(), CMyMessageBox::kIdOk);
    EXPECT_EQ(CMyMessageBox(166, 1).DoModal(), CMyMessageBox::kIdCancel);
    EXPECT_EQ(CMyMessageBox(48, 2).DoModal(), CMyMessageBox::kIdOk);
    EXPECT_EQ(answerer.MessageIds(), (std::vector<int>{49, 166, 48}));
    EXPECT_EQ(answerer.Boxes()[1].kind, 1);
}

TEST_F(ShellFixture, MissingLanguageTableAndIconsLeaveSpacesAndNoPicture) {
    app::Shell().text = nullptr;
    app::Settings().skin_folder = (dir_.path() + "/nowhere/").toStdString();
    CMyMessageBox box(151, 0);
    box.show();
    EXPECT_TRUE(box.Icon().isNull());
    EXPECT_EQ(app::FindControl<QLabel>(&box, CMyMessageBox::kTextControlId)->text(), " ");
    EXPECT_EQ(app::FindControl<QPushButton>(&box, 1)->text(), " ");
}

// A main window with a button and an edit, standing in for the station's window.
struct MainWindow {
    QWidget window;
    QPushButton* button;
    QLineEdit* edit;
    MainWindow() {
        auto* layout = new QVBoxLayout(&window);
        button = new QPushButton("press", &window);
        edit = new QLineEdit(&window);
        layout->addWidget(button);
        layout->addWidget(edit);
        window.resize(400, 300);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
};

TEST_F(ShellFixture, SplashIsCentredAndCarriesTheVersion) {
    MainWindow main;
    CSplashWnd::ShowSplashScreen(&main.window, 60000);
    CSplashWnd* splash = CSplashWnd::Current();
    ASSERT_NE(splash, nullptr);
    EXPECT_TRUE(splash->isVisible());
    EXPECT_EQ(splash->size(), QSize(300, 200));
    const QRect desk = main.window.screen()->geometry();
    EXPECT_EQ(splash->pos(),
              QPoint(desk.x() + (desk.width() - 300) / 2, desk.y() + (desk.height() - 200) / 2));
    EXPECT_EQ(splash->DisplayedText(), "T131.2.3");
    EXPECT_EQ(splash->TextOrigin(), QPointF(40, 165));
    EXPECT_EQ(splash->FontFace(), "Arial");
    const QImage shot = splash->grab().toImage();
    EXPECT_EQ(shot.pixelColor(5, 5), kSplashColor);
    EXPECT_TRUE(HasColor(shot.copy(40, 165, 200, 20), QColor(128, 128, 128)));

    // Only one splash per run.
    CSplashWnd::ShowSplashScreen(&main.window, 60000);
    EXPECT_EQ(CSplashWnd::Current(), splash);
    CSplashWnd::HideSplashScreen();
    EXPECT_EQ(CSplashWnd::Current(), nullptr);
    CSplashWnd::ShowSplashScreen(&main.window, 60000);
    EXPECT_EQ(CSplashWnd::Current(), nullptr);
}

TEST_F(ShellFixture, SplashTextUsesSongtiForChinese) {
    app::Settings().language_file = "cht.XML";
    MainWindow main;
    CSplashWnd::ShowSplashScreen(&main.window, 60000);
    ASSERT_NE(CSplashWnd::Current(), nullptr);
    EXPECT_EQ(CSplashWnd::Current()->FontFace(), QString::fromUtf8("宋体"));
}

TEST_F(ShellFixture, AClickAnywhereRemovesTheSplashAndHasNoOtherEffect) {
    MainWindow main;
    QSignalSpy clicked(main.button, &QPushButton::clicked);
    CSplashWnd::ShowSplashScreen(&main.window, 60000);
    ASSERT_NE(CSplashWnd::Current(), nullptr);
    QTest::mouseClick(main.button, Qt::LeftButton);
    EXPECT_EQ(CSplashWnd::Current(), nullptr);
    EXPECT_EQ(clicked.count(), 0);
    // The splash is gone: the next click works.
    QTest::mouseClick(main.button, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 1);
}

TEST_F(ShellFixture, AKeyPressRemovesTheSplashAndIsConsumed) {
    MainWindow main;
    main.edit->setFocus();
    CSplashWnd::ShowSplashScreen(&main.window, 60000);
    ASSERT_NE(CSplashWnd::Current(), nullptr);
    QTest::keyClick(main.edit, Qt::Key_A);
    EXPECT_EQ(CSplashWnd::Current(), nullptr);
    EXPECT_EQ(main.edit->text(), "");
    QTest::keyClick(main.edit, Qt::Key_B);
    EXPECT_EQ(main.edit->text(), "b");
}

TEST_F(ShellFixture, TheTimerRemovesTheSplashAfterItsMinimumTime) {
    MainWindow main;
    QElapsedTimer clock;
    clock.start();
    CSplashWnd::ShowSplashScreen(&main.window, 1000);
    ASSERT_NE(CSplashWnd::Current(), nullptr);
    QTest::qWait(700);  // the first tick, at 500 ms, is too early
    EXPECT_NE(CSplashWnd::Current(), nullptr);
    EXPECT_TRUE(QTest::qWaitFor([] { return CSplashWnd::Current() == nullptr; }, 5000));
    EXPECT_GE(clock.elapsed(), 1000);
}

TEST_F(ShellFixture, AMissingSplashImageShowsNothingAndTheTimerStillEndsIt) {
    QFile::remove(skin_ + "Splash.png");
    MainWindow main;
    CSplashWnd::ShowSplashScreen(&main.window, 0);
    ASSERT_NE(CSplashWnd::Current(), nullptr);
    EXPECT_FALSE(CSplashWnd::Current()->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([] { return CSplashWnd::Current() == nullptr; }, 5000));
}

TEST_F(ShellFixture, NoSplashWithTheNoSplashOrEmbeddingSwitch) {
    for (const char* flag : {"--no-splash", "/Embedding", "-Automation"}) {
        SCOPED_TRACE(flag);
        CSplashWnd::ResetForTest();
        const char* argv[] = {"ZQTalvane", flag};
        CSplashWnd::EnableSplashScreen(platform::ParseCommandLine(2, argv).show_splash);
        MainWindow main;
        QSignalSpy clicked(main.button, &QPushButton::clicked);
        CSplashWnd::ShowSplashScreen(&main.window, 60000);
        EXPECT_EQ(CSplashWnd::Current(), nullptr);
        QTest::mouseClick(main.button, Qt::LeftButton);
        EXPECT_EQ(clicked.count(), 1);
    }
}

// The operator password dialog, driven from the keyboard and mouse.
class RegisterFixture : public ShellFixture {
  protected:
    void SetUp() override {
        ShellFixture::SetUp();
        app::Settings().user_password = "Pass1234";
        app::Shell().save_user_password = [this](const CAppSettings& s) {
            saved_.push_back(s.user_password);
            return config::SaveResult::kWritten;
        };
    }
    std::vector<std::string> saved_;
};

TEST_F(RegisterFixture, ShowsItsTextsAndAdmin) {
    CDlgRegister dlg;
    EXPECT_EQ(dlg.windowTitle(), "T176");
    EXPECT_EQ(app::FindControl<QLabel>(&dlg, 1026)->text(), "T25");
    EXPECT_EQ(app::FindControl<QLabel>(&dlg, 1029)->text(), "T177");
    EXPECT_EQ(app::FindControl<QLabel>(&dlg, 1140)->text(), "T178");
    EXPECT_EQ(app::FindControl<QPushButton>(&dlg, 1141)->text(), "T7");
    EXPECT_EQ(app::FindControl<QPushButton>(&dlg, 1142)->text(), "T8");
    auto* user = app::FindControl<QLineEdit>(&dlg, 1137);
    EXPECT_EQ(user->text(), "admin");
    EXPECT_TRUE(user->isReadOnly());
    EXPECT_EQ(app::FindControl<CColorStatic>(&dlg, 1143)->TextColor(), QColor(255, 0, 0));
}

TEST_F(RegisterFixture, ChecksTheCurrentPasswordBeforeSaving) {
    struct Case {
        const char* current;
        const char* next;
        bool by_enter_in;  // confirm by Enter (in field 1139 when `next` is set, else 1138)
        QString status;    // "" when accepted
    };
    const Case cases[] = {
        {"", "", false, "T180"},         {"Pass1234", "", false, "T180"},
        {"", "new", true, "T180"},       {"pass1234", "new", false, "T42"},  // case-sensitive
        {"Pass123", "new", true, "T42"}, {"Pass1234", "new", false, ""},
        {"Pass1234", "n3w", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.current) + "/" + c.next);
        app::Settings().user_password = "Pass1234";
        saved_.clear();
        CDlgRegister dlg;
        dlg.show();
        auto* edit1 = app::FindControl<QLineEdit>(&dlg, 1138);
        auto* edit2 = app::FindControl<QLineEdit>(&dlg, 1139);
        QTest::keyClicks(edit1, c.current);
        QTest::keyClicks(edit2, c.next);
        if (c.by_enter_in) {
            QTest::keyClick(*c.next ? edit2 : edit1, Qt::Key_Return);
        } else {
            QTest::mouseClick(app::FindControl<QPushButton>(&dlg, 1141), Qt::LeftButton);
        }
        EXPECT_EQ(dlg.StatusText(), c.status);
        EXPECT_EQ(app::FindControl<CColorStatic>(&dlg, 1143)->text(), c.status);
        if (c.status.isEmpty()) {
            EXPECT_FALSE(dlg.isVisible());
            EXPECT_EQ(dlg.result(), QDialog::Accepted);
            EXPECT_EQ(saved_, std::vector<std::string>{c.next});
            EXPECT_EQ(app::Settings().user_password, c.next);
        } else {
            EXPECT_TRUE(dlg.isVisible());
            EXPECT_TRUE(saved_.empty());
            EXPECT_EQ(app::Settings().user_password, "Pass1234");
        }
    }
}

TEST_F(RegisterFixture, PasswordsHoldEightCharactersAndTypingClearsTheStatus) {
    CDlgRegister dlg;
    dlg.show();
    auto* edit1 = app::FindControl<QLineEdit>(&dlg, 1138);
    auto* edit2 = app::FindControl<QLineEdit>(&dlg, 1139);
    QTest::keyClicks(edit1, "123456789");
    QTest::keyClicks(edit2, "abcdefghij");
    EXPECT_EQ(edit1->text(), "12345678");
    EXPECT_EQ(edit2->text(), "abcdefgh");
    QTest::keyClick(edit2, Qt::Key_Enter);  // keypad Enter: wrong password
    EXPECT_EQ(dlg.StatusText(), "T42");
    QTest::keyClick(edit2, Qt::Key_Backspace);
    EXPECT_EQ(dlg.StatusText(), "");
    EXPECT_EQ(app::FindControl<CColorStatic>(&dlg, 1143)->text(), "");
}

TEST_F(RegisterFixture, EnterOutsideThePasswordFieldsAndCancelChangeNothing) {
    CDlgRegister dlg;
    dlg.show();
    QTest::keyClicks(app::FindControl<QLineEdit>(&dlg, 1138), "Pass1234");
    QTest::keyClicks(app::FindControl<QLineEdit>(&dlg, 1139), "other");
    for (int id : {1137, 1141, 1142}) {
        QWidget* w = app::FindControl(&dlg, id);
        w->setFocus();
        QTest::keyClick(w, Qt::Key_Return);
        EXPECT_TRUE(dlg.isVisible()) << id;
    }
    EXPECT_TRUE(saved_.empty());
    QTest::mouseClick(app::FindControl<QPushButton>(&dlg, 1142), Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_TRUE(saved_.empty());
    EXPECT_EQ(app::Settings().user_password, "Pass1234");
}

// Types `text` into `edit` one character at a time, as a keyboard with those characters would
// (QTest::keyClicks takes ASCII only).
void TypeText(QWidget* edit, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(edit, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(edit, &release);
    }
}

// A Systemcfg.xml in a code page that lacks the new password's characters: the real save writes
// nothing, so the dialog keeps the old password, says so and stays open; a password the file
// can hold is then saved.
TEST_F(RegisterFixture, APasswordTheFileCannotHoldIsRefused) {
    const std::string folder = dir_.path().toStdString() + "/config/";
    QDir().mkpath(QString::fromStdString(folder));
    const std::string file = folder + "Systemcfg.xml";
    std::string bytes;
    ASSERT_TRUE(
        platform::ToEncoding("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                             "<Systemcfg><Version>1</Version>"
                             "<UserPassword>caf\u00e9</UserPassword></Systemcfg>\n",
                             "ISO-8859-1", bytes));
    test_files::WriteFile(file, bytes);
    auto& shell = app::Shell();
    shell.settings.config_folder = folder;
    shell.settings.user_password = "caf\u00e9";
    shell.save_user_password = [](const CAppSettings& s) { return config::SaveUserPassword(s); };

    CDlgRegister dlg;
    dlg.show();
    auto* edit1 = app::FindControl<QLineEdit>(&dlg, 1138);
    auto* edit2 = app::FindControl<QLineEdit>(&dlg, 1139);
    TypeText(edit1, QStringLiteral("caf\u00e9"));
    TypeText(edit2, QStringLiteral("\u043f\u0430\u0440\u043e\u043b\u044c"));  // Cyrillic
    QTest::keyClick(edit2, Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.StatusText(), "T49");
    EXPECT_EQ(app::FindControl<CColorStatic>(&dlg, 1143)->text(), "T49");
    EXPECT_EQ(app::Settings().user_password, "caf\u00e9");
    EXPECT_EQ(test_files::ReadFile(file), bytes);
    EXPECT_EQ(test_files::Entries(folder), (std::set<std::string>{"Systemcfg.xml"}));

    // The operator types one the file can hold.
    edit2->clear();
    TypeText(edit2, QStringLiteral("\u00e9t\u00e92"));
    EXPECT_EQ(dlg.StatusText(), "");
    QTest::mouseClick(app::FindControl<QPushButton>(&dlg, 1141), Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(app::Settings().user_password, "\u00e9t\u00e92");
    CAppSettings again;
    again.config_folder = folder;
    again.program_folder = folder;
    ASSERT_TRUE(config::LoadSystemConfig(again));
    EXPECT_EQ(again.user_password, "\u00e9t\u00e92");
}

TEST(ColorStatic, PaintsItsColoursAndItsBackgroundOnlyWhenOpaque) {
    QWidget parent;
    parent.resize(200, 50);
    auto* label = new CColorStatic(&parent);
    label->setGeometry(0, 0, 200, 50);
    label->SetText("WWWW");
    label->SetTextColor(QColor(0, 0, 255));
    label->SetBkColor(QColor(255, 255, 0));
    parent.show();
    EXPECT_TRUE(label->IsTransparent());
    EXPECT_FALSE(label->autoFillBackground());
    EXPECT_TRUE(HasColor(label->grab().toImage(), QColor(0, 0, 255)));
    label->SetTransparent(false);
    const QImage opaque = label->grab().toImage();
    EXPECT_EQ(opaque.pixelColor(199, 49), QColor(255, 255, 0));
}

}  // namespace
