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
