// PromptAnswerer: answers the station's "Prompt" message boxes in GUI tests, as an operator would.
//
// While it exists it watches (every few milliseconds, also inside modal loops) for an open
// CMyMessageBox, records its message id and kind in the order the boxes appeared, and answers
// it: with the answer set for that message id (AnswerWith), otherwise with OK. Boxes that a tab
// closes by itself before the answer is due are recorded too. The system's plain message boxes
// a tab shows (a QMessageBox carrying its text id in the property "zq_message_id") are recorded
// with kind kSystemBox and answered with OK. UI thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <map>
#include <vector>

#include <QDialog>

#include "ui/message_box.h"

class PromptAnswerer : public QObject {
  public:
    static constexpr int kSystemBox = -1;

    struct Seen {
        int message_id;
        int kind;
        bool operator==(const Seen&) const = default;
    };

    // `delay_ms`: how long a box stays open before it is answered.
    explicit PromptAnswerer(int delay_ms = 0);

    void AnswerWith(int message_id, int answer) { answers_[message_id] = answer; }
    const std::vector<Seen>& Boxes() const { return seen_; }
    std::vector<int> MessageIds() const;
    void Clear() { seen_.clear(); }

  private:
    void Poll();

    int delay_ms_;
    std::map<int, int> answers_;
    std::vector<Seen> seen_;
    QPointer<QDialog> current_;
    int current_id_ = 0;
    int waited_ms_ = 0;
    QTimer timer_;
};
