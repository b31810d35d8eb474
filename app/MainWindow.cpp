#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "AttributeTable.h"
#include "FileProperties.h"
#include "GLWidget.h"
#include "HelpAbout.h"
#include "ToolDialog.h"
#include "RegressionDialogs.h"
#include "ToolRegistry.h"
#include "Project.h"
#include "Prompt.h"
#include "ScenceControl.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QStyleFactory>
#include <QUrl>

#include <functional>
#include <memory>

namespace {

const char *const kGroupNames[4] = {"LAS", "Vector", "Raster", "Table"};
const char *const kGroupIcons[4] = {":/res/LAS.png", ":/res/Vector.png", ":/res/RasterGray.png", ":/res/table.png"};

MainWindow::Group groupOf(const QString &path)
{
    switch (FileProperties::kindOf(path)) {
    case FileProperties::Kind::Las: return MainWindow::LasGroup;
    case FileProperties::Kind::Vector: return MainWindow::VectorGroup;
    case FileProperties::Kind::Table: return MainWindow::TableGroup;
    case FileProperties::Kind::Raster: break;
    }
    return MainWindow::RasterGroup;
}

std::string local(const QString &s) { return QFile::encodeName(s).toStdString(); }

// A catalogue of LAS files (.vpc) sits in the LAS group and is drawn as its
// files' outlines.
bool isCatalogue(const QString &path) { return QFileInfo(path).suffix().toLower() == "vpc"; }
QString fromLocal(const std::string &s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

const Qt::ItemFlags kItemFlags = Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled;
// The check state an item had after the last click, so that a click on an
// item's text (which changes no mark) is told from a click on its box.
constexpr int kMarkRole = Qt::UserRole + 1;

void setMark(QTreeWidgetItem *item, Qt::CheckState state)
{
    item->setCheckState(0, state);
    item->setData(0, kMarkRole, int(state));
}

}  // namespace

bool InputBlocker::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:     // 2
    case QEvent::MouseButtonRelease:   // 3
    case QEvent::MouseButtonDblClick:  // 4
    case QEvent::Wheel:                // 31
    case QEvent::DragEnter:            // 60
    case QEvent::Drop:                 // 63
        return true;
    default:
        return QObject::eventFilter(watched, event);
    }
}

QStringList MainWindow::pendingActions() const
{
    // Tools arrive with their own declarations; until then the actions of
    // the tool menus that no tool claims are shown disabled rather than
    // pretending to work.
    QStringList claimed;
    for (const Tool *t : ToolRegistry::tools())
        claimed << t->spec.action;
    claimed << "actionOverlap";  // a view of the scene rather than a tool
    QStringList names;
    std::function<void(QMenu *)> walk = [&](QMenu *menu) {
        for (QAction *a : menu->actions()) {
            if (a->menu())
                walk(a->menu());
            else if (!a->isSeparator() && !claimed.contains(a->objectName()))
                names << a->objectName();
        }
    };
    for (QMenu *menu : {ui->menuStat, ui->menuData_Preparation, ui->menuModels, ui->menuSegmentation})
        walk(menu);
    return names;
}

// The pictures are compiled into this static library; register them once.
static void initResources() { Q_INIT_RESOURCE(verdanta); }

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow), blocker(new InputBlocker(this))
{
    initResources();
    ui->setupUi(this);
    setAcceptDrops(true);
    ui->statusBar->setFixedHeight(30);
    setWindowIcon(QIcon(":/res/Verdanta.png"));

    ui->propertyTable->setColumnCount(2);
    ui->propertyTable->setHorizontalHeaderLabels({tr("Name"), tr("Value")});
    ui->propertyTable->horizontalHeader()->setStretchLastSection(true);
    ui->propertyTable->verticalHeader()->setVisible(false);

    buildTree();
    connect(ui->treeWidget, &QTreeWidget::itemClicked, this, &MainWindow::treeItemChanged);
    connect(ui->treeWidget, &QTreeWidget::itemDoubleClicked, this, &MainWindow::treeItemClicked);

    for (int i = 0; i < 2; ++i) {
        statusLabels[i] = new QLabel(this);
        ui->statusBar->addWidget(statusLabels[i], 1);
    }
    statusLabels[1]->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);  // 132

    scene = new ScenceControl(this);
    scene->hide();
    scene->setStatusBar(ui->statusBar);
    view = new GLWidget(scene, this);
    view->setLabels(statusLabels[1], statusLabels[0]);
    setCentralWidget(view);
    delete ui->centralWidget;
    ui->centralWidget = nullptr;

    connect(ui->actionAddData, &QAction::triggered, this, &MainWindow::isAddDataClick);
    connect(ui->actionHelp, &QAction::triggered, this, &MainWindow::isHelp);
    connect(ui->actionNavigate, &QAction::triggered, this, &MainWindow::isMove);
    connect(ui->actionZoomIn, &QAction::triggered, this, &MainWindow::isZoomIn);
    connect(ui->actionZoomOut, &QAction::triggered, this, &MainWindow::isZoomOut);
    connect(ui->actionPan, &QAction::triggered, this, &MainWindow::isPan);
    connect(ui->actionFit, &QAction::triggered, this, &MainWindow::isFullExcent);
    connect(ui->actionColorByHeight, &QAction::triggered, this, &MainWindow::isHClick);
    connect(ui->actionColorByReturn, &QAction::triggered, this, &MainWindow::isRClick);
    connect(ui->actionColorByIntensity, &QAction::triggered, this, &MainWindow::isIClick);
    connect(ui->actionColorByClass, &QAction::triggered, this, &MainWindow::isClassClick);
    connect(ui->actionColorByRGB, &QAction::triggered, this, &MainWindow::isRGBClick);
    connect(ui->actionColorByID, &QAction::triggered, this, &MainWindow::isIDClick);
    connect(ui->actionOverlap, &QAction::triggered, this, &MainWindow::isOverlapClick);
    connectTools();
    setShortcuts();
    for (const QString &name : pendingActions())
        if (QAction *action = findChild<QAction *>(name))
            action->setEnabled(false);
    updateColourActions();
    setProjectTitle(QString());
}

MainWindow::~MainWindow() { delete ui; }

QTableWidget *MainWindow::propertiesTable() const { return ui->propertyTable; }
QTreeWidget *MainWindow::layerTree() const { return ui->treeWidget; }
QString MainWindow::outputText() const { return ui->outputText->toPlainText(); }

void MainWindow::log(const QString &line) { ui->outputText->append(line); }

void MainWindow::setInputBlocked(bool block)
{
    if (block == blocked)
        return;
    blocked = block;
    if (block)
        installEventFilter(blocker);
    else
        removeEventFilter(blocker);
}

void MainWindow::setProjectTitle(const QString &name)
{
    setWindowTitle(name.isEmpty() ? QString("Untitled-Verdanta") : name + "-Verdanta");
}

// ---- the layer tree ---------------------------------------------------------

void MainWindow::buildTree()
{
    QTreeWidget *tree = ui->treeWidget;
    tree->clear();
    // "windowsvista" exists on Windows only; elsewhere Fusion stands in.
    QStyle *style = tree->findChild<QStyle *>() ? nullptr : QStyleFactory::create("windowsvista");
    if (!style && !tree->findChild<QStyle *>())
        style = QStyleFactory::create("Fusion");
    if (style) {
        style->setParent(tree);  // a style given to a widget is not owned by it
        tree->setStyle(style);
    }
    root = new QTreeWidgetItem(tree, {tr("Data Layers")});
    root->setIcon(0, QIcon(":/res/DataFrame.png"));
    root->setFlags(kItemFlags);
    setMark(root, Qt::Checked);
    for (int g = 0; g < 4; ++g) {
        groups[g] = new QTreeWidgetItem(root, {kGroupNames[g]});
        groups[g]->setFlags(kItemFlags);
        setMark(groups[g], Qt::Checked);
    }
    tree->expandAll();
}

bool MainWindow::showProperties(const QString &path)
{
    FileProperties::Rows rows;
    if (!FileProperties::describe(path, rows))
        return false;
    QTableWidget *t = ui->propertyTable;
    t->setRowCount(rows.size());
    for (int r = 0; r < rows.size(); ++r) {
        t->setItem(r, 0, new QTableWidgetItem(rows[r].first));
        t->setItem(r, 1, new QTableWidgetItem(rows[r].second));
    }
    return true;
}

void MainWindow::appendLayerItem(const QString &name, const QString &path, Group group)
{
    auto *item = new QTreeWidgetItem(groups[group], {name});
    item->setFlags(kItemFlags);
    setMark(item, Qt::Checked);
    item->setIcon(0, QIcon(kGroupIcons[group]));
    item->setToolTip(0, path);
    lists[group]->append(path);
    ui->treeWidget->expandItem(groups[group]);
    log("Importing " + path + "...");
}

bool MainWindow::addLayer(const QString &path, Group group)
{
    if (!showProperties(path))
        return false;
    appendLayerItem(QFileInfo(path).completeBaseName(), path, group);
    // A file read around damage says what is missing, in the log as well.
    QTableWidget *t = ui->propertyTable;
    for (int r = 0; r < t->rowCount(); ++r)
        if (t->item(r, 0) && t->item(r, 0)->text() == "Warning" && t->item(r, 1))
            log(path + ": " + t->item(r, 1)->text());
    groups[group]->child(groups[group]->childCount() - 1)->setSelected(true);
    modified = true;
    return true;
}

void MainWindow::addFilesToGroup(const QStringList &files, Group group)
{
    if (files.isEmpty())
        return;  // the dialog was cancelled
    for (const QString &f : files)
        addLayer(f, group);
    showInScene(files.first(), group);
    updateColourActions();
}

void MainWindow::showInScene(const QString &path, Group group)
{
    if (groups[group]->checkState(0) == Qt::Unchecked)
        return;
    if (path.isEmpty() || !showProperties(path)) {
        Prompt::warning(this, tr("Verdanta"), tr("Could not open the specified file!"));
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QCoreApplication::processEvents();
    setInputBlocked(true);
    view->setUpdatesEnabled(false);
    const bool catalogue = isCatalogue(path);
    switch (group) {
    case LasGroup: catalogue ? scene->AddCatalogFile(path) : scene->AddLasFile(path); break;
    case VectorGroup: scene->AddShapeFile(path); break;
    case RasterGroup: scene->AddRasterFile(path); break;
    case TableGroup: scene->AddTableFile(path); break;
    }
    view->setUpdatesEnabled(true);
    setInputBlocked(false);
    if (group == LasGroup && !catalogue) {
        switch (scene->colorMode) {
        case RGB: scene->RGBRender(); break;
        case Intensity: scene->IntensityRender(); break;
        case Return: scene->ReturnRender(); break;
        case Class: scene->ClassRender(); break;
        default: scene->HeightRender(); break;
        }
    }
    view->setHeightLegend(scene->heightHigh, scene->heightLow, scene->maxZd, scene->minZd);
    view->fullExtent();
    shownPath = path;
    shownGroup = group;
    QApplication::restoreOverrideCursor();
}

// Empties the scene (the layer it showed stays in the project).
void MainWindow::clearScene()
{
    if (shownPath.isEmpty())
        return;
    if (isCatalogue(shownPath))
        scene->AddShapeFile(QString());  // its outlines
    switch (shownGroup) {
    case LasGroup: scene->AddLasFile(QString()); break;
    case VectorGroup: scene->AddShapeFile(QString()); break;
    case RasterGroup: scene->AddRasterFile(QString()); break;
    case TableGroup: scene->AddTableFile(QString()); break;
    }
    shownPath.clear();
    view->setLegendVisible(false);
    view->fullExtent();
    view->update();
}

void MainWindow::addResults(const QStringList &paths)
{
    ui->treeWidget->clearSelection();
    QString first;
    for (const QString &p : paths) {
        const Group g = groupOf(p);
        if (addLayer(p, g) && first.isEmpty())
            first = p;
    }
    if (!paths.isEmpty())
        showInScene(first, first.isEmpty() ? groupOf(paths.first()) : groupOf(first));
    updateColourActions();
}

void MainWindow::updateColourActions()
{
    for (QAction *a : ui->LAStoolBar->actions())
        a->setEnabled(!lasFiles.isEmpty() && !pendingActions().contains(a->objectName()));
}

bool MainWindow::itemLocation(QTreeWidgetItem *item, Group &group, int &index) const
{
    if (!item || !item->parent())
        return false;
    for (int g = 0; g < 4; ++g)
        if (item->parent() == groups[g]) {
            group = static_cast<Group>(g);
            index = groups[g]->indexOfChild(item);
            return true;
        }
    return false;
}

void MainWindow::recomputeParent(QTreeWidgetItem *item)
{
    QTreeWidgetItem *parent = item->parent();
    if (!parent)
        return;
    int checked = 0, unchecked = 0;
    for (int i = 0; i < parent->childCount(); ++i) {
        const Qt::CheckState s = parent->child(i)->checkState(0);
        checked += s == Qt::Checked;
        unchecked += s == Qt::Unchecked;
    }
    const int n = parent->childCount();
    parent->setCheckState(0, unchecked == n ? Qt::Unchecked : checked == n ? Qt::Checked : Qt::PartiallyChecked);
}

void MainWindow::treeItemChanged(QTreeWidgetItem *item, int)
{
    if (!item)
        return;
    const Qt::CheckState state = item->checkState(0);
    if (state != Qt::PartiallyChecked) {
        for (int i = 0; i < item->childCount(); ++i) {
            QTreeWidgetItem *child = item->child(i);
            child->setCheckState(0, state);
            for (int j = 0; j < child->childCount(); ++j)
                child->child(j)->setCheckState(0, state);
        }
    }
    recomputeParent(item);
    const bool changed = item->data(0, kMarkRole).toInt() != int(state);
    // Remember every mark as this click left it.
    std::function<void(QTreeWidgetItem *)> remember = [&](QTreeWidgetItem *i) {
        i->setData(0, kMarkRole, int(i->checkState(0)));
        for (int c = 0; c < i->childCount(); ++c)
            remember(i->child(c));
    };
    remember(root);
    if (changed)
        followCheckMark(item, state);
}

// Check marks say which layer is drawn: unchecking the displayed layer, its
// group or the root clears the view; checking a layer shows it, and
// checking a group or the root with nothing on display shows its first
// checked layer.
void MainWindow::followCheckMark(QTreeWidgetItem *item, Qt::CheckState state)
{
    if (state == Qt::Unchecked) {
        if (shownPath.isEmpty())
            return;
        const int index = lists[shownGroup]->indexOf(shownPath);
        if (index < 0 || groups[shownGroup]->child(index)->checkState(0) != Qt::Checked)
            clearScene();
        return;
    }
    if (state != Qt::Checked)
        return;
    Group group;
    int index;
    if (itemLocation(item, group, index)) {
        showInScene(lists[group]->at(index), group);
        return;
    }
    if (shownPath.isEmpty())
        showFirstChecked();
}

void MainWindow::treeItemClicked(QTreeWidgetItem *item, int)
{
    Group group;
    int index;
    if (!itemLocation(item, group, index) || item->checkState(0) != Qt::Checked)
        return;
    const QString path = lists[group]->at(index);
    if (showProperties(path)) {
        showInScene(path, group);
        return;
    }
    Prompt::warning(this, tr("Verdanta"), tr("Failed to open file,please check if file is exist or not!"));
    removeLayer(group, index);
    modified = true;
}

void MainWindow::removeLayer(Group group, int index)
{
    const QString path = lists[group]->takeAt(index);
    delete groups[group]->takeChild(index);
    log("Remove " + path + "...");
    QTableWidget *t = ui->propertyTable;
    if (t->rowCount() > 0 && t->item(0, 1) && t->item(0, 1)->text() == path)
        t->setRowCount(0);
    // The view lets go of the layer only when it is the one on display, so
    // that the check marks keep saying what is drawn.
    if (shownGroup == group && shownPath == path)
        clearScene();
    view->fullExtent();
    updateColourActions();
}

void MainWindow::on_treeWidget_customContextMenuRequested(const QPoint &pos)
{
    QTreeWidgetItem *item = ui->treeWidget->itemAt(pos);
    if (!item || item == root)
        return;
    contextItem = item;
    QMenu menu(this);
    if (item->parent() == root) {
        menu.addAction(tr("Remove All"), this, &MainWindow::RemoveAll);
    } else {
        menu.addAction(tr("Remove"), this, &MainWindow::Remove);
        if (item->parent() == groups[TableGroup])
            menu.addAction(tr("Attribute Table"), this, &MainWindow::TableAttribute);
    }
    menu.exec(ui->treeWidget->viewport()->mapToGlobal(pos));
    contextItem = nullptr;
}

// The context-menu slots act on the item the menu was opened on, else on
// the tree's current item.
QTreeWidgetItem *MainWindow::menuTarget() const { return contextItem ? contextItem : ui->treeWidget->currentItem(); }

void MainWindow::Remove()
{
    Group group;
    int index;
    if (!itemLocation(menuTarget(), group, index))
        return;
    contextItem = nullptr;
    removeLayer(group, index);
    modified = true;
}

void MainWindow::RemoveAll()
{
    QTreeWidgetItem *target = menuTarget();
    for (int g = 0; g < 4; ++g) {
        if (target != groups[g])
            continue;
        while (groups[g]->childCount() > 0)
            removeLayer(static_cast<Group>(g), groups[g]->childCount() - 1);
        lists[g]->clear();
        modified = true;
    }
    contextItem = nullptr;
}

void MainWindow::TableAttribute()
{
    Group group;
    int index;
    QTreeWidgetItem *target = menuTarget();
    contextItem = nullptr;
    if (!itemLocation(target, group, index) || group != TableGroup)
        return;
    auto *table = new AttributeTable(tableFiles.at(index), target->text(0));
    table->setAttribute(Qt::WA_DeleteOnClose);
    table->show();
}

void MainWindow::removeAllLayers()
{
    for (int g = 0; g < 4; ++g)
        while (groups[g]->childCount() > 0)
            removeLayer(static_cast<Group>(g), groups[g]->childCount() - 1);
}

// ---- adding files -----------------------------------------------------------

void MainWindow::on_actionAdd_LAS_File_triggered()
{
    addFilesToGroup(Prompt::openFiles(this, tr("Open File"), "LAS File(*.las *.laz)"), LasGroup);
}

void MainWindow::on_actionAdd_Vector_File_triggered()
{
    addFilesToGroup(Prompt::openFiles(this, tr("Open File"), "ESRI Shp File(*.shp)"), VectorGroup);
}

void MainWindow::on_actionAdd_Raster_File_triggered()
{
    addFilesToGroup(Prompt::openFiles(this, tr("Open File"), "TIFF(*.tif);;All file (*.*)"), RasterGroup);
}

void MainWindow::on_actionAdd_Table_File_triggered()
{
    addFilesToGroup(Prompt::openFiles(this, tr("Open File"), "CSV(*.csv)"), TableGroup);
}

void MainWindow::isAddDataClick()
{
    const QStringList files = Prompt::openFiles(
        this, tr("Add Data"), "Verdanta Dataset Files(*.las *.laz *.vpc *.shp *.tif *.csv);;All Files (*.*)");
    if (!files.isEmpty())
        addResults(files);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasFormat("text/uri-list"))
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls()) {
        const QString path = url.toLocalFile();
        if (!path.isEmpty())
            paths << path;
    }
    if (!paths.isEmpty())
        addResults(paths);
}

// ---- navigation tools ----------------------------------------------------------

void MainWindow::isMove()
{
    view->selectNone();
    navigationMode = 0;
}

void MainWindow::isZoomIn()
{
    view->selectZoomIn();
    navigationMode = 1;
}

void MainWindow::isZoomOut()
{
    view->selectZoomOut();
    navigationMode = 2;
}

void MainWindow::isPan()
{
    view->selectPan();
    navigationMode = 3;
}

void MainWindow::isFullExcent() { view->fullExtent(); }

// ---- colour modes -------------------------------------------------------------

void MainWindow::colourClicked(void (ScenceControl::*setter)())
{
    (scene->*setter)();
    view->setLegendVisible(true);
    view->update();
}

void MainWindow::isHClick() { colourClicked(&ScenceControl::HeightRender); }
void MainWindow::isRClick() { colourClicked(&ScenceControl::ReturnRender); }
void MainWindow::isIClick() { colourClicked(&ScenceControl::IntensityRender); }
void MainWindow::isClassClick() { colourClicked(&ScenceControl::ClassRender); }
void MainWindow::isRGBClick() { colourClicked(&ScenceControl::RGBRender); }
void MainWindow::isIDClick() { colourClicked(&ScenceControl::IndividualTreesRender); }

void MainWindow::isOverlapClick()
{
    scene->candidateRasters = rasterFiles;
    scene->candidateTables = tableFiles;
    scene->ShowSegmentationOverlap();
    view->update();
}

// ---- the project --------------------------------------------------------------

bool MainWindow::maybeSave()
{
    if (!modified)
        return true;
    const auto answer = Prompt::show(this, {Prompt::Kind::Warning, tr("Verdanta"),
                                            tr("The document has been modified.\nDo you want to save your changes?"),
                                            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                            QMessageBox::Yes});
    if (answer == QMessageBox::Yes)
        return saveProject();
    return answer == QMessageBox::No;
}

void MainWindow::on_actionNew_triggered()
{
    if (!maybeSave())
        return;
    setMark(root, Qt::Checked);
    for (QTreeWidgetItem *g : groups)
        setMark(g, Qt::Checked);
    removeAllLayers();
    modified = false;
    projectPath.clear();
    Prompt::projectDirectory().clear();
    setProjectTitle(QString());
}

void MainWindow::on_actionOpen_triggered()
{
    if (!maybeSave())
        return;
    const QString file = Prompt::openFile(this, tr("Open File"), "Verdanta Project File (*.sml)");
    if (!file.isEmpty())
        openProjectFile(file);
}

bool MainWindow::openProjectFile(const QString &path)
{
    // The file is read completely before anything of the current project
    // changes, so a bad file leaves the open project as it was.
    Project reader, project;
    if (!reader.readXml(project, QFile::encodeName(path).constData())) {
        Prompt::information(this, tr("Verdanta"), tr("Verdanta Project File Open Failed!"));
        return false;
    }
    removeAllLayers();
    projectPath = fromLocal(project.path);
    Prompt::projectDirectory() = QFileInfo(projectPath).absolutePath();
    const std::vector<ProjectEntry> *entries[4] = {&project.lasLayers, &project.vectorLayers,
                                                   &project.rasterLayers, &project.tableLayers};
    const Group order[4] = {LasGroup, RasterGroup, VectorGroup, TableGroup};
    for (Group g : order)
        for (const ProjectEntry &e : *entries[g])
            appendLayerItem(fromLocal(e.name), fromLocal(e.path), g);
    modified = false;
    setProjectTitle(fromLocal(project.name));
    updateColourActions();
    showFirstChecked();
    return true;
}

void MainWindow::showFirstChecked()
{
    const Group order[4] = {LasGroup, RasterGroup, VectorGroup, TableGroup};
    for (Group g : order)
        for (int i = 0; i < groups[g]->childCount(); ++i)
            if (groups[g]->child(i)->checkState(0) == Qt::Checked) {
                showInScene(lists[g]->at(i), g);
                return;
            }
}

bool MainWindow::writeProject(const QString &path)
{
    Project project;
    project.name = local(QFileInfo(path).completeBaseName());
    project.path = local(path);
    std::vector<ProjectEntry> *entries[4] = {&project.lasLayers, &project.vectorLayers, &project.rasterLayers,
                                             &project.tableLayers};
    for (int g = 0; g < 4; ++g)
        for (const QString &p : *lists[g])
            entries[g]->push_back({local(QFileInfo(p).completeBaseName()), local(p)});
    Project writer;
    return writer.createXml(project);
}

bool MainWindow::saveProject()
{
    if (projectPath.isEmpty())
        return saveProjectAs();
    if (!writeProject(projectPath)) {
        Prompt::warning(this, tr("Warning"), tr("Save Failed!"));
        return false;
    }
    modified = false;
    return true;
}

bool MainWindow::saveProjectAs()
{
    const QString chosen = Prompt::saveFile(this, tr("Save as Project file"), "Verdanta Project File (*.sml)");
    if (chosen.isEmpty())
        return false;
    const QFileInfo info(chosen);
    if (!info.absoluteDir().exists() || info.isDir() || !QDir::isAbsolutePath(chosen)) {
        Prompt::warning(this, tr("Verdanta"), tr("Output Path is invalid! Please reset!"));
        return false;
    }
    QString folder = info.absolutePath();
    if (!folder.endsWith('/'))
        folder += '/';  // a drive root already ends in one
    const QString path = folder + info.completeBaseName() + ".sml";
    if (!writeProject(path)) {
        Prompt::information(this, tr("Verdanta"), tr("Verdanta Project File Save Failed!"));
        return false;
    }
    projectPath = path;
    Prompt::projectDirectory() = QFileInfo(projectPath).absolutePath();
    setProjectTitle(info.completeBaseName());
    modified = false;
    return true;
}

void MainWindow::on_actionSave_triggered() { saveProject(); }
void MainWindow::on_actionSave_as_triggered() { saveProjectAs(); }

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!modified) {
        event->accept();
        return;
    }
    const auto answer = Prompt::question(
        this, tr("Verdanta"), tr("The document has been modified.\nDo you want to save your changes?"),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    if (answer == QMessageBox::Yes && saveProject())
        event->accept();
    else if (answer == QMessageBox::No)
        event->accept();
    else
        event->ignore();
}

// ---- tools ------------------------------------------------------------------------

void MainWindow::connectTools()
{
    RegressionDialogs::registerDialogs();
    for (const Tool *tool : ToolRegistry::tools())
        if (QAction *action = findChild<QAction *>(tool->spec.action))
            connect(action, &QAction::triggered, this, [this, tool] { runTool(*tool); });
}

void MainWindow::runTool(const Tool &tool)
{
    std::unique_ptr<ToolDialog> made(ToolDialog::create(tool));
    ToolDialog &dialog = *made;
    if (dialog.candidateFiles != lasFiles)
        dialog.candidateFiles = lasFiles;
    dialog.setCandidates(dialog.candidateFiles);
    dialog.setRasterCandidates(rasterFiles);
    dialog.Reset();
    const bool accepted = dialog.exec() == QDialog::Accepted;
    // What the run noticed on the way (an input read in part) is kept in
    // the log whether or not the run ended with results.
    for (const QString &note : dialog.notes())
        log(tool.spec.title + ": " + note);
    if (!accepted)
        return;
    // The equivalent command, so that a run can be repeated in a batch script.
    log(dialog.lastCommandLine());
    addResults(dialog.resultFiles);
}

// ---- help and windows -----------------------------------------------------------

void MainWindow::on_actionExit_triggered() { close(); }

// The desktop's usual keys, and a mnemonic on every menu (Alt+F opens File).
void MainWindow::setShortcuts()
{
    ui->actionNew->setShortcut(QKeySequence::New);
    ui->actionOpen->setShortcut(QKeySequence::Open);
    ui->actionSave->setShortcut(QKeySequence::Save);
    ui->actionSave_as->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    ui->actionExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    ui->actionView_Help->setShortcut(QKeySequence(Qt::Key_F1));
    for (QMenu *menu : {ui->menuFile, ui->menuStat, ui->menuData_Preparation, ui->menuModels, ui->menuWindows,
                        ui->menuHelp})
        menu->setTitle("&" + menu->title());
    ui->menuSegmentation->setTitle("Se&gmentation");  // Alt+S is Stat's
    const std::pair<QAction *, QString> items[] = {
        {ui->actionNew, "&New"}, {ui->actionOpen, "&Open"}, {ui->actionSave, "&Save"},
        {ui->actionSave_as, "Save &as"}, {ui->actionExit, "E&xit"}, {ui->actionView_Help, "&View Help"},
        {ui->actionAbout, "&About"}};
    for (const auto &item : items)
        item.first->setText(item.second);
}

void MainWindow::on_actionView_Help_triggered()
{
    const QString guide = QCoreApplication::applicationDirPath() + "/UserGuide.pdf";
    if (!QFileInfo::exists(guide)) {
        Prompt::warning(this, tr("Verdanta"), tr("The help file UserGuide.pdf was not found."));
        return;
    }
    Prompt::openUrl(QUrl::fromLocalFile(guide));
}

void MainWindow::isHelp() { on_actionView_Help_triggered(); }

void MainWindow::on_actionAbout_triggered()
{
    auto *about = new HelpAbout();
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->show();
}

void MainWindow::on_actionProject_triggered(bool checked) { ui->Project->setVisible(checked); }
void MainWindow::on_actionProperties_triggered(bool checked) { ui->Properties->setVisible(checked); }
void MainWindow::on_actionOutput_triggered(bool checked) { ui->Output->setVisible(checked); }
void MainWindow::on_actionStandard_triggered(bool checked) { ui->Standard->setVisible(checked); }
void MainWindow::on_actionTools_triggered(bool checked) { ui->Tools->setVisible(checked); }
void MainWindow::on_actionLAS_Dataset_triggered(bool checked) { ui->LAStoolBar->setVisible(checked); }

// A dock or toolbar hidden with its own button unchecks its Windows action.
// While the window itself is hidden (closing, minimised) the marks stay.
void MainWindow::followVisibility(QAction *action, bool visible)
{
    if (isVisible())
        action->setChecked(visible);
}

void MainWindow::on_Project_visibilityChanged(bool visible) { followVisibility(ui->actionProject, visible); }
void MainWindow::on_Properties_visibilityChanged(bool visible) { followVisibility(ui->actionProperties, visible); }
void MainWindow::on_Output_visibilityChanged(bool visible) { followVisibility(ui->actionOutput, visible); }
void MainWindow::on_Standard_visibilityChanged(bool visible) { followVisibility(ui->actionStandard, visible); }
void MainWindow::on_Tools_visibilityChanged(bool visible) { followVisibility(ui->actionTools, visible); }
void MainWindow::on_LAStoolBar_visibilityChanged(bool visible) { followVisibility(ui->actionLAS_Dataset, visible); }
