// verdanta-screenshot PROJECT.sml OUT.png [WIDTH HEIGHT]: opens a project in
// the main window, colours the cloud by height with its legend, and saves a
// picture of the window (the GL view read back from its framebuffer, since
// a widget grab shows GL areas black).

#include "GLWidget.h"
#include "MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QPainter>
#include <QTest>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "Usage: verdanta-screenshot PROJECT.sml OUT.png [WIDTH HEIGHT]\n");
        return 1;
    }
    MainWindow w;
    w.resize(argc > 4 ? std::atoi(argv[3]) : 1400, argc > 4 ? std::atoi(argv[4]) : 850);
    w.show();
    if (!QTest::qWaitForWindowExposed(&w) || !w.openProjectFile(QString::fromLocal8Bit(argv[1])))
        return 1;
    w.findChild<QAction *>("actionColorByHeight")->trigger();
    QTest::qWait(300);
    GLWidget *view = w.glView();
    view->updateGL();
    QImage picture = w.grab().toImage();
    QPainter painter(&picture);
    painter.drawImage(view->mapTo(&w, QPoint(0, 0)), view->grabFrameBuffer());
    painter.end();
    return picture.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
}
