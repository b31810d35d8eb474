// Every tool dialog sizes to the fields it shows: a screenshot of each,
// taken as the user first sees it, holds no blank band. The pictures are
// kept in the build folder (dialogs/) for a look by eye.

#include "ToolDialog.h"
#include "ToolRegistry.h"

#include <QDir>
#include <QImage>
#include <QtTest>

namespace {

// The tallest run of image rows that hold nothing but the window's
// background colour (margins and the gaps between fields are short runs).
int tallestBlankBand(const QImage &image, QRgb background)
{
    int tallest = 0, run = 0;
    for (int y = 0; y < image.height(); ++y) {
        bool blank = true;
        for (int x = 0; x < image.width() && blank; ++x)
            blank = image.pixel(x, y) == background;
        run = blank ? run + 1 : 0;
        tallest = std::max(tallest, run);
    }
    return tallest;
}

}  // namespace

class TestDialogLayout : public QObject {
    Q_OBJECT
private slots:
    void noBlankBand_data()
    {
        QTest::addColumn<QString>("name");
        for (const Tool *t : ToolRegistry::tools())
            QTest::newRow(qPrintable(t->spec.name)) << t->spec.name;
    }

    void noBlankBand()
    {
        QFETCH(QString, name);
        ToolDialog dialog(*ToolRegistry::find(name));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QImage shot = dialog.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QDir().mkpath(QStringLiteral(VERDANTA_BIN_DIR) + "/tests/dialogs");
        shot.save(QStringLiteral(VERDANTA_BIN_DIR) + "/tests/dialogs/" + name + ".png");
        const QRgb background = dialog.palette().color(QPalette::Window).rgb();
        const int band = tallestBlankBand(shot, background);
        // About two text lines: more is a hole in the form.
        const int limit = 2 * dialog.fontMetrics().height() + 12;
        QVERIFY2(band <= limit, qPrintable(QString("a blank band of %1 px (limit %2) in %3 x %4")
                                              .arg(band).arg(limit).arg(shot.width()).arg(shot.height())));
    }
};

QTEST_MAIN(TestDialogLayout)
#include "test_dialoglayout.moc"
