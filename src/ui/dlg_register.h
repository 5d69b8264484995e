// CDlgRegister: the operator password dialog (template 143), opened from the search view.
//
// The operator types the current password and a new one (at most 8 characters each) and
// confirms with button 1141 or Enter in either password field (Enter elsewhere does nothing):
// - either field empty: status line (control 1143, red) shows text 180, the dialog stays open;
// - current password differs (exact, case-sensitive) from the stored one: text 42, stays open;
// - otherwise the new password becomes the operator password of the run, is saved
//   (app::Shell().save_user_password), and the dialog closes with Accepted; when the file
//   cannot be written the password holds for the run only, without a message;
// - but when Systemcfg.xml's encoding cannot hold a character of the new password, nothing is
//   saved, the operator password stays as it was, the status line shows text 49 ("failed")
//   and the dialog stays open.
// Editing either field clears the status line. Button 1142 closes without a change.
// UI thread only.
#pragma once

#include <QDialog>
#include <QString>

class CColorStatic;
class QLineEdit;

class CDlgRegister : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kMaxPasswordLength = 8;
    static constexpr int kSaveFailedText = 49;

    explicit CDlgRegister(QWidget* parent = nullptr);

    // The status line's text ("" when clear).
    QString StatusText() const { return status_text_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void OnConfirm();
    void OnPasswordEdited();
    void SetStatus(const QString& text);

    CColorStatic* status_ = nullptr;
    QString password1_;
    QString password2_;
    QString status_text_;
    int mode_ = 1;  // always "change the password"
    QLineEdit* edit1_ = nullptr;
    QLineEdit* edit2_ = nullptr;
};
