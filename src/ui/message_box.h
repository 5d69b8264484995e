// CMyMessageBox: the program's modal message box, titled "Prompt".
//
// CMyMessageBox(message id, kind) shows language text `message id` beside the kind's icon from
// the skin folder, with OK (text 7) and Cancel (text 8):
//   kind 0 error       "Error.png"    red text
//   kind 1 information "Info.png"     red text
//   kind 2 success     "Success.png"  green text
//   any other kind     no icon        green text
// DoModal() returns kIdOk or kIdCancel; Escape, the close box and the system close command
// (platform::SendSystemClose, which the tabs' closing timers use) all give kIdCancel.
// A missing icon file shows the box without a picture. The message font is Arial, or "宋体"
// when the language is Chinese (app::IsChineseLanguage), 20 pixels high with an average
// character width of 9 pixels. UI thread only.
#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>
#include <QImage>

class QLabel;
class QPushButton;

class CMyMessageBox : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kIdOk = 1;
    static constexpr int kIdCancel = 2;
    static constexpr int kTextControlId = 1049;
    // The message font: height 20 pixels, average character width 9 pixels, normal weight.
    static constexpr int kFontHeight = 20;
    static constexpr int kFontWidth = 9;

    CMyMessageBox(int message_id, int kind, QWidget* parent = nullptr);

    int DoModal();

    int MessageId() const { return message_id_; }
    int Kind() const { return kind_; }
    QColor TextColor() const { return text_color_; }
    const QImage& Icon() const { return icon_; }

    // The icon file name and text colour of a kind ("" for none).
    static QString IconFileFor(int kind);
    static QColor TextColorFor(int kind);
    // The message font in `face` at kFontHeight and kFontWidth.
    static QFont MessageFont(const QString& face);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    int message_id_;
    int kind_;
    QColor text_color_;
    QFont message_font_;
    QImage icon_;
    int icon_width_ = 0;
    int icon_height_ = 0;
    QLabel* text_ = nullptr;
};
