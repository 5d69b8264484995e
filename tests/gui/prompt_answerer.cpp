#include "prompt_answerer.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "ui/controls.h"

namespace {
constexpr int kPollMs = 5;
}

PromptAnswerer::PromptAnswerer(int delay_ms) : delay_ms_(delay_ms) {
    connect(&timer_, &QTimer::timeout, this, &PromptAnswerer::Poll);
    timer_.start(kPollMs);
}

std::vector<int> PromptAnswerer::MessageIds() const {
    std::vector<int> ids;
    for (const auto& s : seen_) {
        ids.push_back(s.message_id);
    }
    return ids;
}

void PromptAnswerer::Poll() {
    if (current_.isNull() || !current_->isVisible()) {
        current_ = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(w);
            if (dialog == nullptr || !dialog->isVisible() ||
                !dialog->property("zq_seen").isNull()) {
                continue;
            }
            if (auto* box = qobject_cast<CMyMessageBox*>(dialog)) {
                seen_.push_back({box->MessageId(), box->Kind()});
                current_id_ = box->MessageId();
            } else if (qobject_cast<QMessageBox*>(dialog) != nullptr &&
                       dialog->property("zq_message_id").isValid()) {
                current_id_ = dialog->property("zq_message_id").toInt();
                seen_.push_back({current_id_, kSystemBox});
            } else {
                continue;
            }
            dialog->setProperty("zq_seen", true);
            current_ = dialog;
            waited_ms_ = 0;
            break;
        }
        if (current_.isNull()) {
            return;
        }
    }
    if (waited_ms_ < delay_ms_) {
        waited_ms_ += kPollMs;
        return;
    }
    if (auto* system = qobject_cast<QMessageBox*>(current_.data())) {
        system->button(QMessageBox::Ok)->click();
        current_ = nullptr;
        return;
    }
    auto it = answers_.find(current_id_);
    const int answer = it == answers_.end() ? CMyMessageBox::kIdOk : it->second;
    if (auto* button = app::FindControl<QPushButton>(current_.data(), answer)) {
        button->click();
    }
    current_ = nullptr;
}
