// Everything the window asks of the desktop outside itself: message boxes, the file chooser
// and opening addresses. The window uses WidgetPrompter; tests answer in its place.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

class QDialog;
class QWidget;

namespace tabulon::ui {

inline const QString kCaption = QStringLiteral("Quorvex Tabulon");

enum class MessageIcon { None, Information, Warning };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

class Prompter {
public:
    virtual ~Prompter() = default;
    // A modal message box captioned kCaption.
    virtual MessageAnswer ShowMessage(const QString& text, MessageIcon icon, MessageButtons buttons) = 0;
    // The workbooks chosen in the Add File dialog; empty when it was cancelled.
    virtual QStringList ChooseWorkbooks() = 0;
    // Opens a web address, or a file or folder given as a file URL, with the desktop's handler.
    virtual void OpenUrl(const QUrl& url) = 0;
    // The Save As dialog opened on `proposed` (it asks before replacing a file); the chosen
    // path, or empty when it was cancelled.
    virtual QString ChooseSaveAs(const QString& proposed) = 0;
    // The File Saved dialog showing `folder`, and how many files were saved and failed when any
    // failed; whether the saved files are to be shown.
    virtual bool ShowFileSaved(const QString& folder, int saved, int failed) = 0;
    // Runs one of the program's own modal dialogs; QDialog::Accepted or QDialog::Rejected.
    virtual int RunDialog(QDialog& dialog) = 0;
};

// The real thing: QMessageBox, CMultiFileDialog and QDesktopServices.
class WidgetPrompter final : public Prompter {
public:
    explicit WidgetPrompter(QWidget* owner) : owner_(owner) {}
    void SetOwner(QWidget* owner) { owner_ = owner; }
    MessageAnswer ShowMessage(const QString& text, MessageIcon icon, MessageButtons buttons) override;
    QStringList ChooseWorkbooks() override;
    void OpenUrl(const QUrl& url) override;
    QString ChooseSaveAs(const QString& proposed) override;
    bool ShowFileSaved(const QString& folder, int saved, int failed) override;
    int RunDialog(QDialog& dialog) override;

private:
    QWidget* owner_;
};

}  // namespace tabulon::ui
