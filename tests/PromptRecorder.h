#pragma once
// Answers the application's prompts in tests and records what was asked.

#include "Prompt.h"

#include <QList>

class PromptRecorder : public Prompt::Handler {
public:
    PromptRecorder() { previous_ = Prompt::setHandler(this); }
    ~PromptRecorder() override { Prompt::setHandler(previous_); }

    QMessageBox::StandardButton answer(const Prompt::Message &m) override
    {
        messages << m;
        return answers.isEmpty() ? QMessageBox::Ok : answers.takeFirst();
    }
    QStringList answer(const Prompt::FileRequest &r) override
    {
        fileRequests << r;
        return files.isEmpty() ? QStringList() : files.takeFirst();
    }
    bool open(const QUrl &url) override
    {
        opened << url;
        return true;
    }

    QList<Prompt::Message> messages;
    QList<Prompt::FileRequest> fileRequests;
    QList<QUrl> opened;
    QList<QMessageBox::StandardButton> answers;  // given in order
    QList<QStringList> files;                    // given in order

private:
    Prompt::Handler *previous_;
};

#include <QDialog>
#include <QPushButton>

// Presses a tool dialog's OK button and returns the texts of the prompts it
// showed (only the warnings when asked); a prompt titled otherwise than the
// dialog adds "WRONG TITLE ...".
inline QStringList pressOk(QDialog &dialog, PromptRecorder &prompts, bool warningsOnly = false)
{
    const int before = prompts.messages.size();
    dialog.findChild<QPushButton *>("OK")->click();
    QStringList texts;
    for (int i = before; i < prompts.messages.size(); ++i) {
        const Prompt::Message &m = prompts.messages[i];
        if (warningsOnly && m.kind != Prompt::Kind::Warning)
            continue;
        texts << m.text;
        if (m.title != dialog.windowTitle())
            texts << "WRONG TITLE " + m.title;
    }
    return texts;
}
