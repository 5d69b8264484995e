#include "skin/skin.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

namespace {

class SkinFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        default_palette_ = QApplication::palette();
    }
    void TearDown() override {
        qApp->setStyleSheet(QString());
        QApplication::setPalette(default_palette_);
    }
    QString Write(const QString& name, const QByteArray& text) {
        const QString path = dir_.path() + "/" + name;
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        return path;
    }

    QTemporaryDir dir_;
    QPalette default_palette_;
};

TEST_F(SkinFixture, AppliesStyleSheetAndColourSetToEveryWindow) {
    const QString theme = Write("Vista.theme", "QPushButton { border: 2px solid #123456; }");
    const QString colours = Write("NormalBlack.ini",
                                  "; comment\n[Other]\nWindow = #ff0000\n"
                                  "[Palette]\nWindow = #102030\nDisabled.Text = #445566 ; grey\n");
    QPushButton before;  // created before the skin: it takes the look too
    ASSERT_TRUE(skin::LoadSkin(theme, colours));
    EXPECT_EQ(qApp->styleSheet(), "QPushButton { border: 2px solid #123456; }");
    EXPECT_EQ(QApplication::palette().color(QPalette::Active, QPalette::Window), QColor(0x102030));
    EXPECT_EQ(QApplication::palette().color(QPalette::Disabled, QPalette::Text), QColor(0x445566));
    EXPECT_EQ(QApplication::palette().color(QPalette::Active, QPalette::Text),
              default_palette_.color(QPalette::Active, QPalette::Text));
    QApplication::processEvents();
    QPushButton after;
    EXPECT_EQ(after.palette().color(QPalette::Window), QColor(0x102030));
    EXPECT_EQ(before.palette().color(QPalette::Window), QColor(0x102030));
}

TEST_F(SkinFixture, MissingThemeLeavesTheDefaultLook) {
    const QString colours = Write("NormalBlack.ini", "[Palette]\nWindow = #102030\n");
    EXPECT_FALSE(skin::LoadSkin(dir_.path() + "/Vista.theme", colours));
    EXPECT_TRUE(qApp->styleSheet().isEmpty());
    EXPECT_EQ(QApplication::palette().color(QPalette::Window),
              default_palette_.color(QPalette::Window));
    // A theme without its colour set still applies, with the default palette.
    const QString theme = Write("Vista.theme", "QWidget {}");
    EXPECT_TRUE(skin::LoadSkin(theme, dir_.path() + "/missing.ini"));
    EXPECT_EQ(qApp->styleSheet(), "QWidget {}");
    EXPECT_EQ(QApplication::palette().color(QPalette::Window),
              default_palette_.color(QPalette::Window));
}

TEST(ColourSet, SkipsUnreadableLines) {
    struct Case {
        const char* line;
        int skipped;
    };
    const Case cases[] = {
        {"Window = #010203", 0},
        {"Window=#010203", 0},
        {"Inactive.Window = red", 0},
        {"Window = notacolour", 1},
        {"NoSuchRole = #010203", 1},
        {"Weird.Window = #010203", 1},
        {"Window", 1},
        {"= #010203", 1},
        {"NoRole = #010203", 1},
        {"# Window = #010203", 0},
        {"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        QPalette p;
        EXPECT_EQ(skin::ParseColourSet(QString("[Palette]\n") + c.line + "\n", p), c.skipped);
    }
}

TEST_F(SkinFixture, ShippedThemeAndColourSetAreComplete) {
    QFile colours(ZQ_SOURCE_DIR "/data/NormalBlack.ini");
    ASSERT_TRUE(colours.open(QIODevice::ReadOnly));
    QPalette p;
    EXPECT_EQ(skin::ParseColourSet(QString::fromUtf8(colours.readAll()), p), 0);
    EXPECT_EQ(p.color(QPalette::Active, QPalette::WindowText), QColor(0, 0, 0));
    ASSERT_TRUE(
        skin::LoadSkin(ZQ_SOURCE_DIR "/data/Vista.theme", ZQ_SOURCE_DIR "/data/NormalBlack.ini"));
    EXPECT_FALSE(qApp->styleSheet().isEmpty());
    EXPECT_FALSE(qApp->styleSheet().contains("QLabel"));  // labels keep their own colours
}

}  // namespace
