// CColorStatic: a static text with its own text and background colours.
//
// Starts with the system's button-text colour on a transparent background. When it is not
// transparent it fills its rectangle with the background colour. Setting a colour or the
// transparent flag repaints it; when transparent, a text or font change repaints the part of the
// parent under it first, so no trace of the old text remains. UI thread only.
#pragma once

#include <QColor>
#include <QLabel>

class CColorStatic : public QLabel {
    Q_OBJECT
  public:
    explicit CColorStatic(QWidget* parent = nullptr);

    void SetTextColor(const QColor& color);
    void SetBkColor(const QColor& color);
    void SetTransparent(bool transparent);

    QColor TextColor() const { return text_color_; }
    QColor BkColor() const { return bk_color_; }
    bool IsTransparent() const { return transparent_; }

    // Sets the text; see the header comment for the repaint.
    void SetText(const QString& text);

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void ApplyColors();

    QColor bk_color_;
    QColor text_color_;
    bool transparent_ = true;
};
