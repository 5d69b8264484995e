#include "prompt_answerer.h"

#include <QApplication>
#include <QPushButton>

#include "app/controls.h"

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
            auto* box = qobject_cast<CMyMessageBox*>(w);
            if (box != nullptr && box->isVisible() && box->property("zq_seen").isNull()) {
                box->setProperty("zq_seen", true);
                seen_.push_back({box->MessageId(), box->Kind()});
                current_ = box;
                waited_ms_ = 0;
                break;
            }
        }
        if (current_.isNull()) {
            return;
        }
    }
    if (waited_ms_ < delay_ms_) {
        waited_ms_ += kPollMs;
        return;
    }
    auto it = answers_.find(current_->MessageId());
    const int answer = it == answers_.end() ? CMyMessageBox::kIdOk : it->second;
    if (auto* button = app::FindControl<QPushButton>(current_.data(), answer)) {
        button->click();
    }
    current_ = nullptr;
}
