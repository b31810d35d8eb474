// The layer tree, the properties view, the attribute table and the project
// file, driven through the main window and the prompt seam under Xvfb.

#include "AttributeTable.h"
#include "Catalog.h"
#include "LasBytes.h"
#include "MainWindow.h"
#include "PromptRecorder.h"
#include "ScenceControl.h"
#include "ShpIO.h"
#include "TestFiles.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMimeData>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

namespace {

void writeLas(const QString &path, int n)
{
    lasbytes::File f;
    f.format = 1;
    for (int i = 0; i < n; ++i) {
        lasbytes::RawPoint p;
        p.X = i * 100;
        p.Y = (i % 7) * 100;
        p.Z = i;
        p.intensity = static_cast<uint16_t>(i);
        f.points.push_back(p);
    }
    lasbytes::save(s(path), lasbytes::build(f));
}

void writeShape(const QString &path)
{
    VerdantaIO::CShpIO shp;
    shp.geometryType = VerdantaIO::CShpIO::Polygons;
    shp.features.push_back({{VerdantaIO::ShpPart{{0, 0, 5, 5, 0}, {0, 5, 5, 0, 0}, false}}, 5});
    shp.WriterFile(s(path));
}

void writeCsv(const QString &path, int rows)
{
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("X,Y,Diameter\n");
    for (int i = 0; i < rows; ++i)
        f.write(QString("%1,%2,%3\n").arg(100 + i).arg(200 + i % 50).arg(2.5).toUtf8());
}

QString valueOf(QTableWidget *t, const QString &name)
{
    for (int r = 0; r < t->rowCount(); ++r)
        if (t->item(r, 0) && t->item(r, 0)->text() == name)
            return t->item(r, 1)->text();
    return QString();
}

}  // namespace

class TestLayers : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString las, las2, tif, shp, csv;

    void prepare(MainWindow &w)
    {
        w.sceneControl()->chooseColumns = [](const QStringList &, TableColumns &c) {
            c = TableColumns{1, 0, 1, 2};
            return true;
        };
    }

private slots:
    void initTestCase()
    {
        las = dir.filePath("plot.las");
        las2 = dir.filePath("plot2.las");
        tif = dir.filePath("dem.tif");
        shp = dir.filePath("stand.shp");
        csv = dir.filePath("trees.csv");
        writeLas(las, 50);
        writeLas(las2, 30);
        writeTif(tif, 5, 4, {0, 1, 0, 4, 0, -1}, [](int c, int r) { return float(5 * r + c); });
        writeShape(shp);
        writeCsv(csv, 40);
    }

    void addEachKindOfFile()
    {
        PromptRecorder prompts;
        MainWindow w;
        prepare(w);
        w.show();
        prompts.files = {{las, las2}};
        w.findChild<QAction *>("actionAdd_LAS_File")->trigger();
        QCOMPARE(prompts.fileRequests[0].caption, QString("Open File"));
        QCOMPARE(prompts.fileRequests[0].filter, QString("LAS File(*.las *.laz)"));
        QCOMPARE(w.layerFiles(MainWindow::LasGroup), QStringList({las, las2}));
        QCOMPARE(w.groupItem(MainWindow::LasGroup)->childCount(), 2);
        QCOMPARE(w.groupItem(MainWindow::LasGroup)->child(0)->text(0), QString("plot"));
        QCOMPARE(w.sceneControl()->sceneKind, int(LasCloud));
        QCOMPARE(w.sceneControl()->currentPath, las);  // the first chosen file is shown
        QVERIFY(w.outputText().contains("Importing " + las + "..."));
        QVERIFY(w.findChild<QAction *>("actionColorByHeight")->isEnabled());
        QVERIFY(w.isModified());

        prompts.files = {{tif}};
        w.findChild<QAction *>("actionAdd_Raster_File")->trigger();
        QCOMPARE(w.propertiesTable()->rowCount(), 11);
        QCOMPARE(valueOf(w.propertiesTable(), "Width"), QString("5"));
        QCOMPARE(w.sceneControl()->sceneKind, int(Raster));

        prompts.files = {{shp}};
        w.findChild<QAction *>("actionAdd_Vector_File")->trigger();
        QCOMPARE(w.propertiesTable()->rowCount(), 7);
        QCOMPARE(valueOf(w.propertiesTable(), "Geometry Type"), QString("Polygon"));
        QCOMPARE(w.sceneControl()->sceneKind, int(Vector));

        prompts.files = {{csv}};
        w.findChild<QAction *>("actionAdd_Table_File")->trigger();
        QCOMPARE(w.propertiesTable()->rowCount(), 3);
        QCOMPARE(valueOf(w.propertiesTable(), "Row Count"), QString("41"));
        QCOMPARE(w.sceneControl()->sceneKind, int(Table));
        QCOMPARE(w.sceneControl()->tablePoints.size(), size_t(40));

        // Back to the LAS layer: 28 properties rows.
        QVERIFY(w.showProperties(las));
        QCOMPARE(w.propertiesTable()->rowCount(), 28);
        QCOMPARE(valueOf(w.propertiesTable(), "Number of Point Records"), QString("50"));
        QVERIFY(prompts.messages.isEmpty());
    }

    // A catalogue joins the LAS layers: its files' outlines are drawn, its
    // properties give their points together and the coordinate system.
    void catalogueLayer()
    {
        PromptRecorder prompts;
        MainWindow w;
        prepare(w);
        w.show();
        const QString vpc = dir.filePath("area.vpc"), boxed = dir.filePath("boxed.las");
        lasbytes::File f;
        f.format = 1;
        f.minv[0] = 10, f.minv[1] = 20, f.maxv[0] = 30, f.maxv[1] = 50;
        for (int i = 0; i < 30; ++i) {
            lasbytes::RawPoint p;
            p.X = 1000 + i * 60;
            p.Y = 2000 + i * 100;
            f.points.push_back(p);
        }
        lasbytes::save(s(boxed), lasbytes::build(f));
        std::string error;
        QVERIFY(VerdantaIO::WriteCatalog(s(vpc), {s(las), s(boxed)}, error));
        w.addResults({vpc});
        QCOMPARE(w.layerFiles(MainWindow::LasGroup), QStringList{vpc});
        ScenceControl *scene = w.sceneControl();
        QCOMPARE(scene->sceneKind, int(Vector));
        QVERIFY(scene->shapeReader);
        QCOMPARE(scene->shapeReader->features.size(), size_t(2));
        // The outline of boxed.las is its header's box.
        const VerdantaIO::ShpPart &ring = scene->shapeReader->features[1].parts[0];
        QCOMPARE(ring.x, (std::vector<double>{10, 30, 30, 10, 10}));
        QCOMPARE(ring.y, (std::vector<double>{20, 20, 50, 50, 20}));
        QCOMPARE(valueOf(w.propertiesTable(), "Files"), QString("2"));
        QCOMPARE(valueOf(w.propertiesTable(), "Number of Point Records"), QString("80"));
        QCOMPARE(valueOf(w.propertiesTable(), "Coordinate System"), QString("no coordinate system"));
        QVERIFY(prompts.messages.isEmpty());
    }

    void corruptFileIsRefused()
    {
        PromptRecorder prompts;
        MainWindow w;
        QFile bad(dir.filePath("broken.las"));
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write("LASF\x01\x02 truncated");
        bad.close();
        prompts.files = {{bad.fileName()}};
        w.findChild<QAction *>("actionAdd_LAS_File")->trigger();
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].title, QString("Verdanta"));
        QCOMPARE(prompts.messages[0].text, QString("Could not open the specified file!"));
        QVERIFY(w.layerFiles(MainWindow::LasGroup).isEmpty());
        QCOMPARE(w.groupItem(MainWindow::LasGroup)->childCount(), 0);
        QVERIFY(!w.isModified());
        QVERIFY(!w.findChild<QAction *>("actionColorByHeight")->isEnabled());

        // A file cut short inside its last record is added with what is
        // sound, and the Output dock says what is missing.
        const QString cut = dir.filePath("cut.las");
        QVERIFY(QFile::copy(las, cut));
        QFile cutFile(cut);
        QVERIFY(cutFile.resize(cutFile.size() - 10));
        prompts.files = {{cut}};
        w.findChild<QAction *>("actionAdd_LAS_File")->trigger();
        QCOMPARE(w.layerFiles(MainWindow::LasGroup), QStringList({cut}));
        QVERIFY2(w.outputText().contains(cut + ": 49 of 50 declared points present; the file is truncated"),
                 qPrintable(w.outputText()));
    }

    void addDataAndDropSortBySuffix()
    {
        PromptRecorder prompts;
        MainWindow w;
        prepare(w);
        prompts.files = {{tif, las}};
        w.findChild<QAction *>("actionAddData")->trigger();
        QCOMPARE(prompts.fileRequests[0].caption, QString("Add Data"));
        QCOMPARE(w.layerFiles(MainWindow::RasterGroup), QStringList({tif}));
        QCOMPARE(w.layerFiles(MainWindow::LasGroup), QStringList({las}));
        QCOMPARE(w.sceneControl()->sceneKind, int(Raster));  // the first added is shown

        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(shp), QUrl(), QUrl::fromLocalFile(csv)});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &drop);
        QCOMPARE(w.layerFiles(MainWindow::VectorGroup), QStringList({shp}));
        QCOMPARE(w.layerFiles(MainWindow::TableGroup), QStringList({csv}));
        QCOMPARE(w.sceneControl()->sceneKind, int(Vector));
        QVERIFY(prompts.messages.isEmpty());
    }

    // Marks cascade down and are summed up one level; and they say what is
    // drawn: unchecking the displayed layer, its group or the root clears
    // the view, checking a layer shows it.
    void checkMarksCascade()
    {
        PromptRecorder prompts;
        MainWindow w;
        prepare(w);
        ScenceControl *scene = w.sceneControl();
        auto click = [&](QTreeWidgetItem *item, Qt::CheckState state) {
            item->setCheckState(0, state);
            emit w.layerTree()->itemClicked(item, 0);
        };
        w.addResults({las, las2, tif});
        QCOMPARE(w.displayedPath(), las);
        QTreeWidgetItem *lasGroup = w.groupItem(MainWindow::LasGroup);
        click(lasGroup, Qt::Unchecked);
        QCOMPARE(lasGroup->child(0)->checkState(0), Qt::Unchecked);
        QCOMPARE(lasGroup->child(1)->checkState(0), Qt::Unchecked);
        QCOMPARE(w.rootItem()->checkState(0), Qt::PartiallyChecked);
        QVERIFY(!scene->lasReader);
        QVERIFY(w.displayedPath().isEmpty());

        QTreeWidgetItem *one = lasGroup->child(1);
        click(one, Qt::Checked);
        QCOMPARE(lasGroup->checkState(0), Qt::PartiallyChecked);
        QVERIFY(scene->lasReader);
        QCOMPARE(scene->currentPath, las2);

        click(w.rootItem(), Qt::Checked);
        QCOMPARE(lasGroup->checkState(0), Qt::Checked);
        QCOMPARE(lasGroup->child(0)->checkState(0), Qt::Checked);
        QCOMPARE(w.displayedPath(), las2);
        // A click on a layer's name changes no mark and draws nothing new.
        emit w.layerTree()->itemClicked(lasGroup->child(0), 0);
        QCOMPARE(w.displayedPath(), las2);
        click(one, Qt::Unchecked);
        QVERIFY(!scene->lasReader);
        QTreeWidgetItem *raster = w.groupItem(MainWindow::RasterGroup)->child(0);
        click(raster, Qt::Unchecked);
        click(raster, Qt::Checked);
        QVERIFY(scene->rasterReader);
        QCOMPARE(w.displayedPath(), tif);

        click(w.rootItem(), Qt::Unchecked);
        QCOMPARE(raster->checkState(0), Qt::Unchecked);
        QVERIFY(!scene->rasterReader);
        QVERIFY(w.displayedPath().isEmpty());

        // Files added to an unchecked group are listed but not drawn.
        w.addResults({tif});
        QCOMPARE(w.layerFiles(MainWindow::RasterGroup).size(), 2);
        QVERIFY(!scene->rasterReader);
        QVERIFY(prompts.messages.isEmpty());
    }

    void removeAndReload()
    {
        PromptRecorder prompts;
        MainWindow w;
        prepare(w);
        const QString doomed = dir.filePath("doomed.las");
        writeLas(doomed, 10);
        w.addResults({las, doomed, tif});
        w.setModified(false);

        // Remove the raster through the context-menu slot.
        w.layerTree()->setCurrentItem(w.groupItem(MainWindow::RasterGroup)->child(0));
        QVERIFY(QMetaObject::invokeMethod(&w, "Remove"));
        QVERIFY(w.layerFiles(MainWindow::RasterGroup).isEmpty());
        QVERIFY(w.outputText().contains("Remove " + tif + "..."));
        QVERIFY(w.isModified());

        // Reload of a file deleted on disk removes its layer.
        QFile::remove(doomed);
        QTreeWidgetItem *item = w.groupItem(MainWindow::LasGroup)->child(1);
        QVERIFY(w.showProperties(las) || true);
        emit w.layerTree()->itemDoubleClicked(item, 0);
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].text, QString("Failed to open file,please check if file is exist or not!"));
        QCOMPARE(w.layerFiles(MainWindow::LasGroup), QStringList({las}));
        QVERIFY(w.outputText().contains("Remove " + doomed + "..."));

        // Reload of a present file shows it again.
        w.sceneControl()->AddLasFile(QString());
        emit w.layerTree()->itemDoubleClicked(w.groupItem(MainWindow::LasGroup)->child(0), 0);
        QVERIFY(w.sceneControl()->lasReader);
        QCOMPARE(valueOf(w.propertiesTable(), "File"), las);

        // Removing the layer the properties show clears them.
        w.layerTree()->setCurrentItem(w.groupItem(MainWindow::LasGroup));
        QVERIFY(QMetaObject::invokeMethod(&w, "RemoveAll"));
        QVERIFY(w.layerFiles(MainWindow::LasGroup).isEmpty());
        QCOMPARE(w.propertiesTable()->rowCount(), 0);
        QVERIFY(!w.sceneControl()->lasReader);
        QVERIFY(!w.findChild<QAction *>("actionColorByHeight")->isEnabled());
    }

    void attributeTableGrowsWhenScrolled()
    {
        const QString big = dir.filePath("big.csv");
        writeCsv(big, 3000);
        AttributeTable table(big, "big");
        table.show();
        QVERIFY(QTest::qWaitForWindowExposed(&table));
        QCOMPARE(table.windowTitle(), QString("big"));
        QCOMPARE(table.table()->columnCount(), 3);
        QCOMPARE(table.table()->rowCount(), 1000);
        QCOMPARE(table.table()->item(0, 0)->textAlignment(), int(Qt::AlignCenter));
        QScrollBar *bar = table.table()->verticalScrollBar();
        const int maximum = bar->maximum();
        QVERIFY(maximum > 0);
        bar->setValue(maximum / 2);  // far from the end: nothing loads
        QCOMPARE(table.table()->rowCount(), 1000);
        bar->setValue(maximum);
        const int t = static_cast<int>(0.9 * maximum);
        const int grown = table.table()->rowCount();
        QCOMPARE(grown, 1000 + (maximum - t));  // until index + 2 exceeds 1000 + (max - t)
        QCOMPARE(table.table()->item(grown - 1, 0)->text(), QString::number(100 + grown - 1));
        for (int i = 0; i < 200 && table.table()->rowCount() < 3000; ++i) {
            QTest::qWait(1);  // lets the scroll bar take the new row count
            bar->setValue(bar->maximum());
        }
        QCOMPARE(table.table()->rowCount(), 3000);
    }

    void projectSaveOpenNewAndMove()
    {
        PromptRecorder prompts;
        const QString folder = dir.filePath("project");
        QDir().mkpath(folder);
        for (const QString &f : {las, tif, csv})
            QFile::copy(f, folder + "/" + QFileInfo(f).fileName());
        for (const char *ext : {".shp", ".shx", ".dbf"})
            QFile::copy(dir.filePath(QString("stand") + ext), folder + "/stand" + ext);
        const QString pLas = folder + "/plot.las", pTif = folder + "/dem.tif", pShp = folder + "/stand.shp",
                      pCsv = folder + "/trees.csv";

        MainWindow w;
        prepare(w);
        w.addResults({pLas, pTif, pShp, pCsv});
        // Save on an untitled project is Save as; the suffix is made ".sml".
        prompts.files = {{folder + "/stand.project"}};
        w.findChild<QAction *>("actionSave")->trigger();
        const QString sml = folder + "/stand.sml";
        QCOMPARE(w.currentProjectPath(), sml);
        QVERIFY(QFile::exists(sml));
        QCOMPARE(w.windowTitle(), QString("stand-Verdanta"));
        QVERIFY(!w.isModified());

        // An invalid target folder is refused.
        prompts.files = {{dir.filePath("no/such/folder/x.sml")}};
        w.findChild<QAction *>("actionSave_as")->trigger();
        QCOMPARE(prompts.messages.last().text, QString("Output Path is invalid! Please reset!"));

        // New clears everything; Cancel at "Save changes?" keeps it all.
        w.setModified(true);
        prompts.answers = {QMessageBox::Cancel};
        w.findChild<QAction *>("actionNew")->trigger();
        QCOMPARE(prompts.messages.last().text, QString("The document has been modified.\nDo you want to save your changes?"));
        QCOMPARE(prompts.messages.last().kind, Prompt::Kind::Warning);
        QCOMPARE(w.layerFiles(MainWindow::LasGroup).size(), 1);
        prompts.answers = {QMessageBox::No};
        w.findChild<QAction *>("actionNew")->trigger();
        for (auto g : {MainWindow::LasGroup, MainWindow::VectorGroup, MainWindow::RasterGroup, MainWindow::TableGroup})
            QVERIFY(w.layerFiles(g).isEmpty());
        QCOMPARE(w.windowTitle(), QString("Untitled-Verdanta"));
        QVERIFY(w.currentProjectPath().isEmpty());

        // Open restores every layer in order.
        prompts.files = {{sml}};
        w.findChild<QAction *>("actionOpen")->trigger();
        QCOMPARE(prompts.fileRequests.last().filter, QString("Verdanta Project File (*.sml)"));
        QCOMPARE(w.layerFiles(MainWindow::LasGroup), QStringList({pLas}));
        QCOMPARE(w.layerFiles(MainWindow::RasterGroup), QStringList({pTif}));
        QCOMPARE(w.layerFiles(MainWindow::VectorGroup), QStringList({pShp}));
        QCOMPARE(w.layerFiles(MainWindow::TableGroup), QStringList({pCsv}));
        QCOMPARE(w.groupItem(MainWindow::TableGroup)->child(0)->text(0), QString("trees"));
        QCOMPARE(w.windowTitle(), QString("stand-Verdanta"));
        QCOMPARE(w.sceneControl()->sceneKind, int(LasCloud));
        QVERIFY(!w.isModified());

        // A malformed or foreign file leaves the open project untouched.
        for (const QByteArray &junk : {QByteArray("<VerdantaProject version=\"1\"><LasLayers><Layer"),
                                       QByteArray("<html><body/></html>"), QByteArray("")}) {
            QFile bad(dir.filePath("bad.sml"));
            QVERIFY(bad.open(QIODevice::WriteOnly | QIODevice::Truncate));
            bad.write(junk);
            bad.close();
            prompts.files = {{bad.fileName()}};
            w.findChild<QAction *>("actionOpen")->trigger();
            QCOMPARE(prompts.messages.last().text, QString("Verdanta Project File Open Failed!"));
            QCOMPARE(prompts.messages.last().kind, Prompt::Kind::Information);
            QCOMPARE(w.layerFiles(MainWindow::LasGroup), QStringList({pLas}));
            QCOMPARE(w.currentProjectPath(), sml);
        }

        // The project folder moves to another place: layers follow it.
        const QString moved = dir.filePath("moved/elsewhere");
        QDir().mkpath(QFileInfo(moved).path());
        QVERIFY(QDir().rename(folder, moved));
        MainWindow other;
        prepare(other);
        QVERIFY(other.openProjectFile(moved + "/stand.sml"));
        QCOMPARE(other.layerFiles(MainWindow::LasGroup), QStringList({moved + "/plot.las"}));
        QCOMPARE(other.layerFiles(MainWindow::TableGroup), QStringList({moved + "/trees.csv"}));
        QVERIFY(other.sceneControl()->lasReader);

        // Names and folders beyond ASCII survive a save and an open.
        const QString umlaut = dir.filePath(QString::fromUtf8("W\xc3\xa4lder"));
        QDir().mkpath(umlaut);
        QFile::copy(moved + "/plot.las", umlaut + QString::fromUtf8("/Fl\xc3\xa4che.las"));
        MainWindow third;
        third.addResults({umlaut + QString::fromUtf8("/Fl\xc3\xa4che.las")});
        prompts.files = {{umlaut + "/projekt.sml"}};
        third.findChild<QAction *>("actionSave_as")->trigger();
        MainWindow fourth;
        QVERIFY(fourth.openProjectFile(umlaut + "/projekt.sml"));
        QCOMPARE(fourth.layerFiles(MainWindow::LasGroup), QStringList({umlaut + QString::fromUtf8("/Fl\xc3\xa4che.las")}));
        QCOMPARE(fourth.groupItem(MainWindow::LasGroup)->child(0)->text(0), QString::fromUtf8("Fl\xc3\xa4che"));
    }
};

QTEST_MAIN(TestLayers)
#include "test_layers.moc"
