#include "camera/dlg_lock_focus.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include "camera/lens_file.h"
#include "ui/controls.h"
#include "ui/shell.h"

CDlgLockFocus::CDlgLockFocus() : CTabPage(PageInfo{kTemplateId, kCaptionId, 1002, true}) {}

void CDlgLockFocus::BuildControls() {
    auto* hidden = new QLineEdit(this);
    app::PlaceControl(hidden, kHiddenId, 0, 0, 10, 12);
    hidden->hide();
    auto* group = new QGroupBox(app::Text(28), this);
    app::PlaceControl(group, kGroupId, 8, 40, 437, 48);
    auto* set = new QPushButton(app::Text(31), this);
    app::PlaceControl(set, kSetId, 375, 50, 60, 14);
    AddOperationButton(set);
    connect(set, &QPushButton::clicked, this, [this] { Start(kLockFocus); });

    path_ = new QLineEdit(this);
    app::PlaceControl(path_, kPathId, 16, 68, 270, 12);
    auto* browse = new QPushButton(QStringLiteral("..."), this);
    app::PlaceControl(browse, kBrowseId, 290, 67, 20, 14);
    connect(browse, &QPushButton::clicked, this, &CDlgLockFocus::Browse);
    auto* import = new QPushButton(QStringLiteral("导入信息"), this);
    app::PlaceControl(import, kImportId, 375, 67, 60, 14);
    connect(import, &QPushButton::clicked, this, [this] { Start(kImport); });

    list_ = CreateOutcomeList(kListId, true);
    app::PlaceControl(list_, kListId, 8, 94, 437, 140);
}

void CDlgLockFocus::Start(Job job) {
    busy_ = true;
    BeginOperation(job);
}

void CDlgLockFocus::Browse() {
    QFileDialog dialog(this);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setObjectName(QStringLiteral("lens_file_dialog"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        path_->setText(dialog.selectedFiles().first());
}

void CDlgLockFocus::OnOperation(int operation, int login_result) {
    busy_ = false;
    int text = login_result;
    if (login_result == 40) {
        if (operation == kNoJob)
            return;
        text = operation == kLockFocus
                   ? camera::LockFocus(Connection())
                   : camera::ImportLensFile(Connection(), path_->text().toStdString());
    }
    AddOutcomeRow(list_, text);
}
