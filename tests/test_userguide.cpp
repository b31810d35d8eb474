// The user guide the build writes beside the program: read back with
// pdftotext, it holds every chapter, and for every declared tool its title
// and its verdanta-cli --help text, so a tool added to the registry is
// checked without touching this test.

#include "ToolRegistry.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QString kGuide = QStringLiteral(VERDANTA_BIN_DIR) + "/app/UserGuide.pdf";

// Standard output of a poppler tool, or a null string when it failed.
QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QString();
    return QString::fromUtf8(p.readAllStandardOutput());
}

}  // namespace

class TestUserGuide : public QObject {
    Q_OBJECT

    QString text;  // the guide's text, whitespace collapsed
    QString pdftotext, pdfinfo;

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(kGuide), qPrintable(kGuide + " is missing: the userguide target writes it"));
        pdftotext = QStandardPaths::findExecutable("pdftotext");
        pdfinfo = QStandardPaths::findExecutable("pdfinfo");
        if (pdftotext.isEmpty() || pdfinfo.isEmpty())
            QSKIP("pdftotext and pdfinfo (poppler-utils, see scripts/deps.sh) are needed to read the guide");
        // -layout keeps each printed line whole, as the --help text is laid out.
        text = run(pdftotext, {"-layout", "-enc", "UTF-8", kGuide, "-"}).simplified();
        QVERIFY2(!text.isEmpty(), "pdftotext could not read the guide");
    }

    void pages()
    {
        const QString info = run(pdfinfo, {kGuide});
        QVERIFY2(info.contains(QRegularExpression("Page size:.*\\(A4\\)")), qPrintable(info));
        const int count = QRegularExpression("Pages:\\s+(\\d+)").match(info).captured(1).toInt();
        QVERIFY2(count >= 10, qPrintable(QString::number(count) + " pages"));
        // Every marker of the chapters was replaced.
        QVERIFY(!text.contains("{{"));
    }

    void chapters()
    {
        // The chapter headings, as the sources in docs/guide/ give them,
        // each in the contents and again where the chapter starts.
        const QFileInfoList files = QDir(QStringLiteral(VERDANTA_SOURCE_DIR) + "/docs/guide")
                                        .entryInfoList({"*.html"}, QDir::Files, QDir::Name);
        QVERIFY(files.size() >= 5);
        static const QRegularExpression h1("<h1[^>]*>(.*?)</h1>", QRegularExpression::DotMatchesEverythingOption);
        QStringList headings;
        for (const QFileInfo &f : files) {
            QFile file(f.filePath());
            QVERIFY(file.open(QIODevice::ReadOnly));
            const auto m = h1.match(QString::fromUtf8(file.readAll()));
            QVERIFY2(m.hasMatch(), qPrintable(f.fileName()));
            headings << m.captured(1).remove(QRegularExpression("<[^>]*>")).simplified();
        }
        for (const char *wanted : {"Getting started", "The view and the layer tree", "Tools", "Workflows",
                                      "Command-line reference"})
            QVERIFY2(headings.contains(wanted), qPrintable(wanted));
        const int contents = text.indexOf("Contents");
        QVERIFY(contents >= 0);
        for (const QString &h : headings) {
            const int listed = text.indexOf(h, contents);
            QVERIFY2(listed > 0, qPrintable(h + " is not in the contents"));
            QVERIFY2(text.indexOf(h, listed + h.size()) > 0, qPrintable(h + " has no chapter"));
        }
    }

    void everyTool()
    {
        QVERIFY(!ToolRegistry::tools().empty());
        for (const Tool *tool : ToolRegistry::tools()) {
            const QString name = tool->spec.name;
            QVERIFY2(text.contains(tool->spec.title), qPrintable(name + ": title " + tool->spec.title));
            // The --help text, line by line as verdanta-cli prints it; the
            // first line is the usage.
            const QStringList lines = ("Usage: " + ToolChecks::usage(*tool)).split('\n');
            QVERIFY(lines.first().startsWith("Usage: verdanta-cli " + name + " "));
            for (const QString &line : lines)
                QVERIFY2(text.contains(line.simplified()), qPrintable(name + ": " + line));
            // A tool that exists is never announced for a later release.
            const QString entry = tool->spec.title + " (";
            for (int at = text.indexOf(entry); at >= 0; at = text.indexOf(entry, at + 1)) {
                const int close = text.indexOf(')', at);
                QVERIFY2(!text.mid(close, 40).contains("later release"), qPrintable(name));
            }
        }
    }
};

QTEST_MAIN(TestUserGuide)
#include "test_userguide.moc"
