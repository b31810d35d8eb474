// Verdanta: start-up. Splash screen, the main window, the event loop.

#include "MainWindow.h"
#include "Prompt.h"

#include <QApplication>
#include <QSplashScreen>
#include <QStyleFactory>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Prompt::lastDirectory() = QCoreApplication::applicationDirPath();
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
    const int code = app.exec();
    delete window;
    return code;
}
