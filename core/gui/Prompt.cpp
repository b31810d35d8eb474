#include "Prompt.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace Prompt {

namespace {
Handler *g_handler = nullptr;
}

Handler *setHandler(Handler *handler)
{
    Handler *previous = g_handler;
    g_handler = handler;
    return previous;
}

QString &lastDirectory()
{
    static QString directory;
    return directory;
}

QString &projectDirectory()
{
    static QString directory;
    return directory;
}

QString startDirectory()
{
    for (const QString &d : {lastDirectory(), projectDirectory()})
        if (!d.isEmpty() && QFileInfo(d).isDir())
            return d;
    return QDir::homePath();
}

void rememberChosen(const QString &path)
{
    if (!path.isEmpty())
        lastDirectory() = QFileInfo(path).absolutePath();
}

QMessageBox::StandardButton show(QWidget *parent, const Message &m)
{
    if (g_handler)
        return g_handler->answer(m);
    switch (m.kind) {
    case Kind::Warning:
        return QMessageBox::warning(parent, m.title, m.text, m.buttons, m.defaultButton);
    case Kind::Information:
        return QMessageBox::information(parent, m.title, m.text, m.buttons, m.defaultButton);
    case Kind::Critical:
        return QMessageBox::critical(parent, m.title, m.text, m.buttons, m.defaultButton);
    case Kind::Question:
        return QMessageBox::question(parent, m.title, m.text, m.buttons, m.defaultButton);
    }
    return QMessageBox::NoButton;
}

void warning(QWidget *parent, const QString &title, const QString &text)
{
    show(parent, {Kind::Warning, title, text, QMessageBox::Ok, QMessageBox::NoButton});
}

void information(QWidget *parent, const QString &title, const QString &text)
{
    show(parent, {Kind::Information, title, text, QMessageBox::Ok, QMessageBox::NoButton});
}

QMessageBox::StandardButton question(QWidget *parent, const QString &title, const QString &text,
                                     QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return show(parent, {Kind::Question, title, text, buttons, defaultButton});
}

bool openUrl(const QUrl &url)
{
    if (g_handler)
        return g_handler->open(url);
    return QDesktopServices::openUrl(url);
}

static QStringList ask(QWidget *parent, const FileRequest &request)
{
    QStringList chosen;
    if (g_handler) {
        chosen = g_handler->answer(request);
    } else {
        switch (request.kind) {
        case FileDialog::OpenFile: {
            const QString one = QFileDialog::getOpenFileName(parent, request.caption,
                                                             request.directory, request.filter);
            if (!one.isEmpty())
                chosen << one;
            break;
        }
        case FileDialog::OpenFiles:
            chosen = QFileDialog::getOpenFileNames(parent, request.caption, request.directory,
                                                   request.filter);
            break;
        case FileDialog::SaveFile: {
            const QString one = QFileDialog::getSaveFileName(parent, request.caption,
                                                             request.directory, request.filter);
            if (!one.isEmpty())
                chosen << one;
            break;
        }
        case FileDialog::Directory: {
            const QString one =
                QFileDialog::getExistingDirectory(parent, request.caption, request.directory);
            if (!one.isEmpty())
                chosen << one;
            break;
        }
        }
    }
    if (!chosen.isEmpty()) {
        if (request.kind == FileDialog::Directory)
            lastDirectory() = QFileInfo(chosen.first()).absoluteFilePath();
        else
            rememberChosen(QFileInfo(chosen.first()).absoluteFilePath());
    }
    return chosen;
}

QString openFile(QWidget *parent, const QString &caption, const QString &filter)
{
    return ask(parent, {FileDialog::OpenFile, caption, startDirectory(), filter}).value(0);
}

QStringList openFiles(QWidget *parent, const QString &caption, const QString &filter)
{
    return ask(parent, {FileDialog::OpenFiles, caption, startDirectory(), filter});
}

QString saveFile(QWidget *parent, const QString &caption, const QString &filter)
{
    return ask(parent, {FileDialog::SaveFile, caption, startDirectory(), filter}).value(0);
}

QString existingDirectory(QWidget *parent, const QString &caption)
{
    return ask(parent, {FileDialog::Directory, caption, startDirectory(), QString()}).value(0);
}

}  // namespace Prompt
