#pragma once
// The one seam through which every message box and file dialog of the
// application passes. Tests install a handler that records what was asked
// and answers it; without one the real Qt dialogs are shown.

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>

class QWidget;

namespace Prompt {

enum class Kind { Warning, Information, Critical, Question };

struct Message {
    Kind kind;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
};

enum class FileDialog { OpenFile, OpenFiles, SaveFile, Directory };

struct FileRequest {
    FileDialog kind;
    QString caption;
    QString directory;
    QString filter;
};

// Test hook: answers every prompt instead of a real dialog.
class Handler {
public:
    virtual ~Handler() = default;
    virtual QMessageBox::StandardButton answer(const Message &message) = 0;
    // The chosen paths; an empty list stands for Cancel.
    virtual QStringList answer(const FileRequest &request) = 0;
    // A link or file handed to the desktop; true when it was opened.
    virtual bool open(const QUrl &url) = 0;
};

// Installs a handler (nullptr restores the real dialogs); returns the previous one.
Handler *setHandler(Handler *handler);

QMessageBox::StandardButton show(QWidget *parent, const Message &message);
void warning(QWidget *parent, const QString &title, const QString &text);
void information(QWidget *parent, const QString &title, const QString &text);
QMessageBox::StandardButton question(
    QWidget *parent, const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons = QMessageBox::Yes | QMessageBox::No,
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

// Hands a link or a local file to the desktop's default handler.
bool openUrl(const QUrl &url);

// File dialogs open in startDirectory() and set lastDirectory() to the
// folder of the first chosen file.
QString openFile(QWidget *parent, const QString &caption, const QString &filter);
QStringList openFiles(QWidget *parent, const QString &caption, const QString &filter);
QString saveFile(QWidget *parent, const QString &caption, const QString &filter);
QString existingDirectory(QWidget *parent, const QString &caption);

// The folder of the last file chosen in any file dialog (empty at start).
QString &lastDirectory();
// The folder of the open project (empty when untitled).
QString &projectDirectory();
// Where a file dialog opens: the last folder used, else the project's
// folder, else the home folder; never the program's own folder.
QString startDirectory();
// Sets lastDirectory() to the folder of an absolute path that was chosen.
void rememberChosen(const QString &path);

}  // namespace Prompt
