// Answering a modal dialog or a popup menu the test itself opens, from inside its own event loop.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QTimer>

#include <functional>

// `answer` runs once on the first modal widget or popup to come up: it records what it sees, for the test
// to check once exec has returned, and closes it. Whatever is still open after it, or comes up
// later while this lives, is closed here, so a failed expectation never leaves the test waiting.
// Stops looking after `limitMs` without one.
class ModalAnswer {
public:
    explicit ModalAnswer(std::function<void(QWidget*)> answer, int limitMs = 10000) : deadline_(limitMs)
    {
        const auto active = [] {
            QWidget* popup = QApplication::activePopupWidget();
            return popup ? popup : QApplication::activeModalWidget();
        };
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this, active, answer = std::move(answer)] {
            QWidget* modal = active();
            if (modal && !answered_) {
                answered_ = true;
                answer(modal);
                modal = active();
            }
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else if (modal)
                modal->close();
            else if (!answered_ && deadline_.hasExpired())
                timer_.stop();
        });
        timer_.start(10);
    }

private:
    QDeadlineTimer deadline_;
    QTimer timer_;
    bool answered_ = false;
};
