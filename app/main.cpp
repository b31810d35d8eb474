// Verdanta: start-up. Splash screen, the main window, the event loop.

#include "MainWindow.h"
#include "Prompt.h"

#include <QApplication>
#include <QFileInfo>
#include <QSplashScreen>
#include <QStyleFactory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // File dialogs start in the home folder until a file or project is
    // chosen (Prompt::startDirectory), never in the program's own folder.
    // "windowsvista" exists on Windows only; elsewhere Fusion stands in.
    QStyle *style = QStyleFactory::create("windowsvista");
    if (!style)
        style = QStyleFactory::create("Fusion");
    if (style)
        QApplication::setStyle(style);

    QSplashScreen splash(QPixmap(":/res/Start.png"));
    splash.show();
    const int topRight = Qt::AlignTop | Qt::AlignRight;  // 34
    splash.showMessage(QObject::tr("Setting up the main window..."), topRight, Qt::white);
    app.processEvents();

    auto *window = new MainWindow();
    splash.showMessage(QObject::tr("Loading modules..."), topRight, Qt::black);
    window->showMaximized();
    splash.finish(window);
    // A project file named first on the command line opens at once.
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1 && QFileInfo(args.at(1)).suffix() == "sml")
        window->openProjectFile(args.at(1));
    const int code = app.exec();
    delete window;
    return code;
}
