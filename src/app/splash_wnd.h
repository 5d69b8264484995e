// CSplashWnd: the picture shown while the main window starts.
//
// ShowSplashScreen(main) shows at most one splash per run, and only while splashes are enabled
// (EnableSplashScreen, from the command line's splash flag): the skin folder's "Splash.png" at
// its natural size, centred on the desktop, with language text 13 followed by the version text
// drawn in grey at (40, image height - 35), fading in over 1200 ms. Timer 1 (500 ms) removes it
// once it has been visible for the minimum display time given to ShowSplashScreen. While a
// splash exists, every key press and every left, right or middle mouse press anywhere in the
// program removes it and is consumed: it reaches no window (nor does the release of a consumed
// mouse press). Removing it repaints the main window. A missing image gives a splash of no area
// that its timer still removes. UI thread only.
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QPointF>
#include <QString>
#include <QWidget>

namespace platform {
class WindowTimers;
}

class CSplashWnd : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kTimerId = 1;
    static constexpr int kTimerPeriodMs = 500;
    static constexpr int kFadeInMs = 1200;

    static void EnableSplashScreen(bool enable);
    static bool IsSplashScreenEnabled();
    // Shows the splash owned by `main` (see above); does nothing when disabled or when a splash
    // has been shown already in this run.
    static void ShowSplashScreen(QWidget* main, int minimum_display_ms = 0);
    // The splash that exists now, or nullptr.
    static CSplashWnd* Current();
    // Removes the splash (no-op without one).
    static void HideSplashScreen();
    // The message filter: true when the event was consumed by the splash.
    static bool PreTranslateAppMessage(QObject* receiver, QEvent* event);
    // Forgets that a splash was shown, so that tests can show another one.
    static void ResetForTest();

    const QImage& Image() const { return image_; }
    QPointF TextOrigin() const { return text_origin_; }
    const QString& DisplayedText() const { return text_; }
    QString FontFace() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    CSplashWnd(QWidget* main, int minimum_display_ms);
    ~CSplashWnd() override;
    void OnTimer(int id);

    QWidget* main_;
    QImage image_;
    QString image_path_;
    bool chinese_text_ = false;
    int image_width_ = 0;
    int image_height_ = 0;
    QPointF text_origin_;
    QString text_;
    int minimum_display_ms_;
    QElapsedTimer shown_;
    platform::WindowTimers* timers_ = nullptr;
};
