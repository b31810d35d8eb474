// The main window: its menus and actions, docks and their check marks, the
// close prompt, the input blocker and the About box. Runs under Xvfb.

#include "GLWidget.h"
#include "HelpAbout.h"
#include "MainWindow.h"
#include "PromptRecorder.h"

#include <QDockWidget>
#include <QLabel>
#include <QMenuBar>
#include <QTableWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <QPushButton>
#include <QMimeData>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList menuTexts(const QMenu *menu)
{
    QStringList texts;
    for (QAction *a : menu->actions())
        texts << (a->isSeparator() ? QString("-") : QString(a->text()).remove('&'));
    return texts;
}

QMenu *submenu(QMenu *menu, const QString &title)
{
    for (QAction *a : menu->actions())
        if (a->menu() && QString(a->text()).remove('&') == title)
            return a->menu();
    return nullptr;
}

}  // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void menusHoldEveryAction()
    {
        MainWindow w;
        QStringList top;
        for (QAction *a : w.menuBar()->actions())
            top << a->text();
        // Every menu has a mnemonic (Alt+F opens File).
        QCOMPARE(top, QStringList({"&File", "&Stat", "&Tools", "&Models", "Se&gmentation", "&Windows", "&Help"}));
        auto *file = w.findChild<QMenu *>("menuFile");
        QCOMPARE(menuTexts(file), QStringList({"New", "Open", "-", "Add Data", "-", "Save", "Save as", "-", "Exit"}));
        QCOMPARE(menuTexts(submenu(file, "Add Data")),
                 QStringList({"Add LAS File", "Add Vector File", "Add Raster File", "Add Table File"}));
        QCOMPARE(menuTexts(w.findChild<QMenu *>("menuStat")),
                 QStringList({"Elevation Metrics", "Intensity Metrics", "Canopy Cover", "LAI", "Gap Fraction"}));
        auto *tools = w.findChild<QMenu *>("menuData_Preparation");
        QCOMPARE(menuTexts(tools), QStringList({"Outlier Removal", "Filtering", "Conversion", "Data Management",
                                                "Generate HillShade"}));
        QCOMPARE(menuTexts(submenu(tools, "Conversion")), QStringList({"LasToAscii", "LasToVector", "LasToRaster"}));
        QMenu *dm = submenu(tools, "Data Management");
        QCOMPARE(menuTexts(dm), QStringList({"Clip", "LasMerge", "LasBoundary", "LasTile", "LasNormalization", "Extract"}));
        QCOMPARE(menuTexts(submenu(dm, "Clip")), QStringList({"Clip by Circle", "Clip by Rectangle", "Clip by Polygon"}));
        QCOMPARE(menuTexts(submenu(dm, "Extract")), QStringList({"Extract by Intensity", "Extract by Return",
                                                                "Extract by Elevation", "Extract by Class"}));
        auto *models = w.findChild<QMenu *>("menuModels");
        QCOMPARE(menuTexts(submenu(models, "Generating Digital Models")),
                 QStringList({"Generating DEM", "Generating DSM", "Generating CHM"}));
        QCOMPARE(menuTexts(submenu(models, "Regression Models")),
                 QStringList({"Linear Regression", "Support Vector Regression", "Artificial Neural Network"}));
        QCOMPARE(menuTexts(w.findChild<QMenu *>("menuSegmentation")),
                 QStringList({"CHM Segmentation", "Point Cloud Segmentation", "Segmentation Overlap Tool"}));
        QCOMPARE(menuTexts(w.findChild<QMenu *>("menuWindows")),
                 QStringList({"Project", "Properties", "Output", "-", "Standard", "Tools", "LAS Dataset"}));
        QCOMPARE(menuTexts(w.findChild<QMenu *>("menuHelp")), QStringList({"View Help", "About"}));

        // Actions named as the slots expect, and the form-only ones exist.
        for (const char *name : {"actionDEM", "actionLAS_Merge", "actionTile", "actionCHM_Segmentation_2",
                                 "actionClose", "actionStepWise_Regression", "actionRGBA", "actionHillShade"})
            QVERIFY2(w.findChild<QAction *>(name), name);
        // Tools that do not exist yet are disabled, never pretending.
        for (const QString &name : w.pendingActions()) {
            QAction *a = w.findChild<QAction *>(name);
            QVERIFY2(a, qPrintable(name));
            QVERIFY2(!a->isEnabled(), qPrintable(name));
        }
        QVERIFY(w.findChild<QAction *>("actionAbout")->isEnabled());
        for (const char *name : {"actionNew", "actionOpen", "actionSave", "actionSave_as", "actionAdd_LAS_File",
                                 "actionAdd_Table_File", "actionAddData"})
            QVERIFY2(w.findChild<QAction *>(name)->isEnabled(), name);
        // The desktop's usual keys, each on one action only.
        const QList<QPair<const char *, const char *>> keys = {
            {"actionNew", "Ctrl+N"},       {"actionOpen", "Ctrl+O"}, {"actionSave", "Ctrl+S"},
            {"actionSave_as", "Ctrl+Shift+S"}, {"actionExit", "Ctrl+Q"}, {"actionView_Help", "F1"}};
        QStringList taken;
        for (QAction *a : w.findChildren<QAction *>())
            if (!a->shortcut().isEmpty())
                taken << a->shortcut().toString();
        for (const auto &k : keys) {
            QCOMPARE(w.findChild<QAction *>(k.first)->shortcut().toString(), QString(k.second));
            QCOMPARE(taken.count(k.second), 1);
        }
        QCOMPARE(w.windowTitle(), QString("Untitled-Verdanta"));
        QVERIFY(w.findChild<QAction *>("actionExit")->isEnabled());
    }

    void toolbarsDocksAndStatusBar()
    {
        MainWindow w;
        auto texts = [](QToolBar *t) {
            QStringList l;
            for (QAction *a : t->actions())
                l << a->iconText();
            return l;
        };
        QCOMPARE(texts(w.findChild<QToolBar *>("Standard")), QStringList({"New", "Open", "Save"}));
        QCOMPARE(texts(w.findChild<QToolBar *>("Tools")),
                 QStringList({"Add Data", "Navigate", "ZoomOut", "ZoomIn", "Pan", "Fit", "Help"}));
        auto *las = w.findChild<QToolBar *>("LAStoolBar");
        QCOMPARE(las->windowTitle(), QString("LAS Dataset"));
        QCOMPARE(texts(las), QStringList({"color by height", "color by Intensity", "color by class", "color by return",
                                          "color by rgb", "color by ID"}));
        for (QAction *a : las->actions()) {
            QVERIFY(!a->isEnabled());  // no LAS layer yet
            QVERIFY(!a->icon().isNull());
        }
        QCOMPARE(w.dockWidgetArea(w.findChild<QDockWidget *>("Project")), Qt::LeftDockWidgetArea);
        QCOMPARE(w.dockWidgetArea(w.findChild<QDockWidget *>("Properties")), Qt::RightDockWidgetArea);
        QCOMPARE(w.dockWidgetArea(w.findChild<QDockWidget *>("Output")), Qt::BottomDockWidgetArea);
        QVERIFY(w.findChild<QTreeWidget *>("treeWidget"));
        QTableWidget *props = w.propertiesTable();
        QCOMPARE(props->columnCount(), 2);
        QCOMPARE(props->horizontalHeaderItem(0)->text(), QString("Name"));
        QCOMPARE(props->horizontalHeaderItem(1)->text(), QString("Value"));
        QCOMPARE(w.centralWidget(), static_cast<QWidget *>(w.glView()));
        QVERIFY(!w.windowIcon().isNull());
    }

    void navigationToolsReachTheView()
    {
        MainWindow w;
        GLWidget *v = w.glView();
        w.findChild<QAction *>("actionZoomIn")->trigger();
        QVERIFY(v->zoomInTool && !v->zoomOutTool && !v->panTool);
        w.findChild<QAction *>("actionZoomOut")->trigger();
        QVERIFY(v->zoomOutTool && !v->zoomInTool);
        w.findChild<QAction *>("actionPan")->trigger();
        QVERIFY(v->panTool && !v->zoomOutTool);
        v->zTrans = -300;
        w.findChild<QAction *>("actionFit")->trigger();
        QVERIFY(v->navigationOff && v->panTool);
        QCOMPARE(v->zTrans, -1500.0);
        w.findChild<QAction *>("actionNavigate")->trigger();
        QVERIFY(!v->panTool && !v->navigationOff);
    }

    void hidingADockUnchecksItsAction()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto *dock = w.findChild<QDockWidget *>("Output");
        auto *action = w.findChild<QAction *>("actionOutput");
        QVERIFY(action->isChecked());
        dock->close();  // the title-bar close button
        QTRY_VERIFY(!action->isChecked());
        action->trigger();  // checks it and shows the dock again
        QVERIFY(action->isChecked());
        QTRY_VERIFY(dock->isVisible());

        auto *toolbar = w.findChild<QToolBar *>("Standard");
        auto *tAction = w.findChild<QAction *>("actionStandard");
        tAction->trigger();
        QVERIFY(!tAction->isChecked());
        QTRY_VERIFY(!toolbar->isVisible());
        toolbar->show();
        QTRY_VERIFY(tAction->isChecked());
    }

    void closePromptYesNoCancel()
    {
        PromptRecorder prompts;
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.close());  // unmodified: closes without a question
        QVERIFY(prompts.messages.isEmpty());

        w.show();
        w.setModified(true);
        prompts.answers = {QMessageBox::Cancel};
        QVERIFY(!w.close());
        QCOMPARE(prompts.messages.size(), 1);
        const auto &m = prompts.messages[0];
        QCOMPARE(m.kind, Prompt::Kind::Question);
        QCOMPARE(m.title, QString("Verdanta"));
        QCOMPARE(m.text, QString("The document has been modified.\nDo you want to save your changes?"));
        QCOMPARE(m.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        QCOMPARE(m.defaultButton, QMessageBox::Yes);
        QVERIFY(w.isVisible());

        // Yes on an untitled project asks where to save; cancelling that
        // keeps the window open, choosing a file saves and closes.
        prompts.answers = {QMessageBox::Yes};
        QVERIFY(!w.close());
        QCOMPARE(prompts.fileRequests.size(), 1);
        QCOMPARE(prompts.fileRequests[0].caption, QString("Save as Project file"));
        QTemporaryDir dir;
        prompts.answers = {QMessageBox::Yes};
        prompts.files = {{dir.filePath("saved.sml")}};
        QVERIFY(w.close());
        QVERIFY(QFile::exists(dir.filePath("saved.sml")));
        w.show();
        w.setModified(true);
        prompts.answers = {QMessageBox::No};
        QVERIFY(w.close());
    }

    void inputBlockerSwallowsOnlyUserInput()
    {
        MainWindow w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        InputBlocker blocker;
        const QPointF at(10, 10);
        QMouseEvent press(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QMouseEvent dbl(QEvent::MouseButtonDblClick, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QWheelEvent wheel(at, at, QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QMimeData mime;
        QDragEnterEvent enter(QPoint(1, 1), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QDropEvent drop(QPointF(1, 1), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier);
        QEvent paint(QEvent::Paint);
        QMouseEvent move(QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        for (QEvent *e : std::initializer_list<QEvent *>{&press, &release, &dbl, &wheel, &enter, &drop})
            QVERIFY2(blocker.eventFilter(&w, e), qPrintable(QString::number(e->type())));
        for (QEvent *e : std::initializer_list<QEvent *>{&key, &paint, &move})
            QVERIFY(!blocker.eventFilter(&w, e));

        // Installed on the window, it keeps a press from reaching the window.
        struct Probe : QObject {
            int presses = 0;
            bool eventFilter(QObject *, QEvent *e) override
            {
                presses += e->type() == QEvent::MouseButtonPress;
                return false;
            }
        } probe;
        w.installEventFilter(&probe);  // runs after filters installed later
        w.setInputBlocked(true);
        QMouseEvent press2(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &press2);
        QCOMPARE(probe.presses, 0);
        w.setInputBlocked(false);
        QMouseEvent press3(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &press3);
        QCOMPARE(probe.presses, 1);
    }

    void fileDialogsRememberTheFolder()
    {
        PromptRecorder prompts;
        // Nothing chosen yet: the project's folder, else home, never the
        // program's folder.
        Prompt::lastDirectory().clear();
        Prompt::projectDirectory().clear();
        QVERIFY(Prompt::openFile(nullptr, "Open File", "*.tif").isEmpty());
        QCOMPARE(prompts.fileRequests.takeLast().directory, QDir::homePath());
        Prompt::projectDirectory() = QDir::tempPath();
        QVERIFY(Prompt::openFile(nullptr, "Open File", "*.tif").isEmpty());
        QCOMPARE(prompts.fileRequests.takeLast().directory, QDir::tempPath());
        prompts.files.clear();
        Prompt::lastDirectory() = "/";
        QTemporaryDir stands;
        prompts.files = {{stands.filePath("a.las"), "/elsewhere/b.las"}, {}};
        const QStringList chosen = Prompt::openFiles(nullptr, "Open File", "LAS File(*.las)");
        QCOMPARE(chosen.size(), 2);
        QCOMPARE(prompts.fileRequests[0].directory, QString("/"));
        QCOMPARE(prompts.fileRequests[0].filter, QString("LAS File(*.las)"));
        QCOMPARE(Prompt::lastDirectory(), stands.path());
        // Cancel leaves the folder as it was.
        QVERIFY(Prompt::openFile(nullptr, "Open File", "*.tif").isEmpty());
        QCOMPARE(Prompt::lastDirectory(), stands.path());
        QCOMPARE(prompts.fileRequests[1].directory, stands.path());
    }

    void helpAndAbout()
    {
        PromptRecorder prompts;
        MainWindow w;
        // The guide is looked for beside the program, here the test binary:
        // without it the user is told so, with it both Help actions hand it
        // to the desktop's viewer.
        const QString guide = QCoreApplication::applicationDirPath() + "/UserGuide.pdf";
        QFile::remove(guide);
        w.findChild<QAction *>("actionView_Help")->trigger();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].text, QString("The help file UserGuide.pdf was not found."));
        QVERIFY(prompts.opened.isEmpty());
        {
            QFile placed(guide);
            QVERIFY(placed.open(QIODevice::WriteOnly));
            placed.write("%PDF-1.4\n");
        }
        struct RemoveAfter {
            QString path;
            ~RemoveAfter() { QFile::remove(path); }
        } cleanup{guide};
        QCOMPARE(w.findChild<QAction *>("actionView_Help")->shortcut(), QKeySequence(Qt::Key_F1));
        w.findChild<QAction *>("actionView_Help")->trigger();
        w.findChild<QAction *>("actionHelp")->trigger();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.opened, (QList<QUrl>{QUrl::fromLocalFile(guide), QUrl::fromLocalFile(guide)}));
        prompts.opened.clear();

        HelpAbout about;
        QCOMPARE(about.windowTitle(), QString("About Verdanta"));
        QVERIFY(!about.windowIcon().isNull());
        auto *ack = about.findChild<QLabel *>("Acknowledge");
        QVERIFY(ack && about.findChild<QLabel *>("WebSite"));
        QCOMPARE(ack->text(), QString("<a href=acknowledge.htm>Visit the Verdanta Acknowledgements</a>"));
        bool versionFirst = false;
        for (QLabel *l : about.findChildren<QLabel *>())
            versionFirst = versionFirst || l->text().startsWith("Version 1.0");
        QVERIFY(versionFirst);
        emit ack->linkActivated("acknowledge.htm");
        QCOMPARE(prompts.opened.size(), 1);
        QVERIFY(prompts.opened[0].isLocalFile());
        QVERIFY(prompts.opened[0].toLocalFile().endsWith("/acknowledge.htm"));
        QVERIFY(QFile::exists(QStringLiteral(VERDANTA_BIN_DIR) + "/app/acknowledge.htm"));

        // The About action opens the box modeless.
        w.findChild<QAction *>("actionAbout")->trigger();
        HelpAbout *shown = nullptr;
        QTRY_VERIFY((shown = [] {
            for (QWidget *t : QApplication::topLevelWidgets())
                if (auto *h = qobject_cast<HelpAbout *>(t); h && h->isVisible())
                    return h;
            return static_cast<HelpAbout *>(nullptr);
        }()) != nullptr);
        QVERIFY(!shown->isModal());
        shown->findChild<QPushButton *>("closeButton")->click();
        QTRY_VERIFY(!shown || !shown->isVisible());
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
