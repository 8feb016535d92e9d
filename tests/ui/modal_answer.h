// Answering in the user's place: a modal dialog or a popup menu the test itself opens, from inside
// its own event loop, and everything the window asks through its Prompter.
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QTest>
#include <QTimer>

#include <functional>

#include "ui/prompter.h"

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

struct Shown {
    QString text;
    tabulon::ui::MessageIcon icon = tabulon::ui::MessageIcon::None;
    tabulon::ui::MessageButtons buttons = tabulon::ui::MessageButtons::Ok;
    bool operator==(const Shown&) const = default;
};

// How QCOMPARE shows one.
inline char* toString(const Shown& shown)
{
    return QTest::toString(QStringLiteral("\"%1\", icon %2, buttons %3").arg(shown.text).arg(int(shown.icon)).arg(int(shown.buttons)));
}

// Records every message, answers questions from `answers` (No once they run out), chooses
// `choice` in the Add File dialog, asks for the saved files to be shown, and runs the window's
// own dialogs through `answerDialog` (rejected without one).
class FakePrompter final : public tabulon::ui::Prompter {
public:
    using MessageAnswer = tabulon::ui::MessageAnswer;
    MessageAnswer ShowMessage(const QString& text, tabulon::ui::MessageIcon icon,
                              tabulon::ui::MessageButtons buttons) override
    {
        shown.append({text, icon, buttons});
        if (buttons == tabulon::ui::MessageButtons::Ok)
            return MessageAnswer::Ok;
        return answers.isEmpty() ? MessageAnswer::No : answers.takeFirst();
    }
    QStringList ChooseWorkbooks() override
    {
        ++dialogsShown;
        return choice;
    }
    void OpenUrl(const QUrl& url) override { opened.append(url); }
    QString ChooseSaveAs(const QString&) override { return {}; }
    bool ShowFileSaved(const QString& folder, int saved, int failed) override
    {
        fileSavedFolders << folder;
        fileSavedCounts << std::pair{saved, failed};
        return true;
    }
    int RunDialog(QDialog& dialog) override { return answerDialog ? answerDialog(dialog) : int{QDialog::Rejected}; }

    std::function<int(QDialog&)> answerDialog;
    QList<Shown> shown;
    QList<MessageAnswer> answers;
    QStringList choice;
    int dialogsShown = 0;
    QList<QUrl> opened;
    QStringList fileSavedFolders;
    QList<std::pair<int, int>> fileSavedCounts;  // saved, failed
};
