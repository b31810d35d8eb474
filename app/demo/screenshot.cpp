// verdanta-screenshot PROJECT.sml OUT.png [WIDTH HEIGHT] [--trees]
//                     [--overlap CHM.tif TABLE.csv]: opens a project in the
// main window (or, instead of a project, files separated by commas, the
// first of them shown), colours the cloud by height with its legend, and
// saves a picture of the window (the GL view read back from its framebuffer,
// since a widget grab shows GL areas black).
//   --trees    colours the cloud by tree instead (Color by ID)
//   --overlap  shows the CHM with the tree table's positions on top

#include "GLWidget.h"
#include "MainWindow.h"
#include "ScenceControl.h"
#include "SegmentationDialogs.h"

#include <QAction>
#include <QApplication>
#include <QPainter>
#include <QTest>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const bool trees = args.removeAll("--trees") > 0;
    QString overlapChm, overlapTable;
    const int overlap = args.indexOf("--overlap");
    if (overlap >= 0 && overlap + 2 < args.size()) {
        overlapChm = args[overlap + 1];
        overlapTable = args[overlap + 2];
        args.erase(args.begin() + overlap, args.begin() + overlap + 3);
    }
    if (args.size() < 2) {
        std::fprintf(stderr, "Usage: verdanta-screenshot PROJECT.sml|FILE,FILE... OUT.png [WIDTH HEIGHT] [--trees] "
                             "[--overlap CHM.tif TABLE.csv]\n");
        return 1;
    }
    MainWindow w;
    w.resize(args.size() > 3 ? args[2].toInt() : 1400, args.size() > 3 ? args[3].toInt() : 850);
    w.show();
    if (!QTest::qWaitForWindowExposed(&w))
        return 1;
    if (args[0].endsWith(".sml")) {
        if (!w.openProjectFile(args[0]))
            return 1;
    } else {
        w.addResults(args[0].split(','));
    }
    w.findChild<QAction *>(trees ? "actionColorByID" : "actionColorByHeight")->trigger();
    if (!overlapChm.isEmpty()) {
        w.sceneControl()->chooseOverlap = [&](const QStringList &, const QStringList &, OverlapChoice &chosen) {
            chosen.chmPath = overlapChm;
            chosen.tablePath = overlapTable;
            return true;
        };
        w.findChild<QAction *>("actionOverlap")->trigger();
    }
    QTest::qWait(300);
    GLWidget *view = w.glView();
    view->updateGL();
    QImage picture = w.grab().toImage();
    QPainter painter(&picture);
    painter.drawImage(view->mapTo(&w, QPoint(0, 0)), view->grabFrameBuffer());
    painter.end();
    return picture.save(args[1]) ? 0 : 1;
}
