#include "app/splash_wnd.h"

#include <QApplication>
#include <QFont>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QPropertyAnimation>
#include <QScreen>
#include <set>

#include "platform/window_timers.h"
#include "ui/shell.h"

namespace {

bool g_enabled = true;
bool g_shown_once = false;
CSplashWnd* g_splash = nullptr;

// Sees every event of the program before its receiver while installed.
class SplashFilter : public QObject {
  public:
    bool eventFilter(QObject* receiver, QEvent* event) override {
        return CSplashWnd::PreTranslateAppMessage(receiver, event);
    }
};

SplashFilter* g_filter = nullptr;
std::set<int> g_swallowed_buttons;  // presses consumed whose release is still to come

bool IsSplashButton(Qt::MouseButton b) {
    return b == Qt::LeftButton || b == Qt::RightButton || b == Qt::MiddleButton;
}

}  // namespace

void CSplashWnd::EnableSplashScreen(bool enable) {
    g_enabled = enable;
}
bool CSplashWnd::IsSplashScreenEnabled() {
    return g_enabled;
}
CSplashWnd* CSplashWnd::Current() {
    return g_splash;
}

void CSplashWnd::ResetForTest() {
    HideSplashScreen();
    g_shown_once = false;
    g_swallowed_buttons.clear();
}

void CSplashWnd::ShowSplashScreen(QWidget* main, int minimum_display_ms) {
    if (!g_enabled || g_splash != nullptr || g_shown_once) {
        return;
    }
    g_shown_once = true;
    g_splash = new CSplashWnd(main, minimum_display_ms);
    if (g_filter == nullptr) {
        g_filter = new SplashFilter;
        qApp->installEventFilter(g_filter);
    }
}

void CSplashWnd::HideSplashScreen() {
    CSplashWnd* splash = g_splash;
    if (splash == nullptr) {
        return;
    }
    g_splash = nullptr;
    QPointer<QWidget> main = splash->main_;
    splash->hide();
    splash->deleteLater();  // may be inside its own timer tick
    if (main) {
        main->update();
    }
}

bool CSplashWnd::PreTranslateAppMessage(QObject*, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonRelease:
        case QEvent::NonClientAreaMouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            return g_swallowed_buttons.erase(static_cast<int>(mouse->button())) != 0;
        }
        default:
            break;
    }
    if (g_splash == nullptr) {
        return false;
    }
    switch (event->type()) {
        case QEvent::ShortcutOverride:
            event->accept();  // no shortcut fires; the key press itself follows
            return true;
        case QEvent::KeyPress:
            HideSplashScreen();
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::NonClientAreaMouseButtonPress:
        case QEvent::NonClientAreaMouseButtonDblClick: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (!IsSplashButton(mouse->button())) {
                return false;
            }
            g_swallowed_buttons.insert(static_cast<int>(mouse->button()));
            HideSplashScreen();
            return true;
        }
        default:
            return false;
    }
}

CSplashWnd::CSplashWnd(QWidget* main, int minimum_display_ms)
    : QWidget(main, Qt::SplashScreen | Qt::FramelessWindowHint),
      main_(main),
      minimum_display_ms_(minimum_display_ms) {
    setObjectName(QStringLiteral("splash"));
    setAttribute(Qt::WA_TranslucentBackground);
    setCursor(Qt::ArrowCursor);

    image_path_ =
        QString::fromStdString(app::Settings().skin_folder) + QStringLiteral("Splash.png");
    image_.load(image_path_);
    chinese_text_ = app::IsChineseLanguage(app::Settings().language_file);
    image_width_ = image_.width();
    image_height_ = image_.height();
    text_origin_ = QPointF(40, image_height_ - 35);
    text_ = app::Text(13) + QString::fromStdString(app::Settings().version);

    timers_ = new platform::WindowTimers(this, [this](int id) { OnTimer(id); });
    shown_.start();
    timers_->Start(kTimerId, kTimerPeriodMs);
    if (image_width_ <= 0 || image_height_ <= 0) {
        return;  // nothing to see; the timer still removes it
    }
    setFixedSize(image_width_, image_height_);
    QScreen* screen = main != nullptr && main->screen() != nullptr
                          ? main->screen()
                          : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect desk = screen->geometry();
        move(desk.x() + (desk.width() - image_width_) / 2,
             desk.y() + (desk.height() - image_height_) / 2);
    }
    // Fade in where the window system blends windows (the offscreen and minimal platforms
    // cannot, so there the splash simply appears).
    const QString platform_name = QGuiApplication::platformName();
    const bool can_fade =
        platform_name != QLatin1String("offscreen") && platform_name != QLatin1String("minimal");
    if (can_fade) {
        setWindowOpacity(0.0);
    }
    show();
    if (can_fade) {
        auto* fade = new QPropertyAnimation(this, "windowOpacity", this);
        fade->setDuration(kFadeInMs);
        fade->setStartValue(0.0);
        fade->setEndValue(1.0);
        fade->start(QAbstractAnimation::DeleteWhenStopped);
    }
    repaint();
}

CSplashWnd::~CSplashWnd() {
    if (g_splash == this) {
        g_splash = nullptr;
    }
}

QString CSplashWnd::FontFace() const {
    return chinese_text_ ? QStringLiteral("宋体") : QStringLiteral("Arial");
}

void CSplashWnd::OnTimer(int id) {
    if (id == kTimerId && shown_.elapsed() >= minimum_display_ms_) {
        HideSplashScreen();
    }
}

void CSplashWnd::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QPoint(0, 0), image_);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    QFont font(FontFace());
    font.setPointSize(9);
    font.setWeight(QFont::Normal);
    painter.setFont(font);
    painter.setPen(QColor(128, 128, 128, 255));
    painter.drawText(QRectF(text_origin_, QSizeF(image_width_, image_height_)),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text_);
}
