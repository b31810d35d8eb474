#pragma once
// The single main window: menus, three toolbars, three docks, the status
// bar, the layer tree and the project, the scene and its view, and the gate
// to every tool.

#include <QMainWindow>
#include <QStringList>

class GLWidget;
class QAction;
class QLabel;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;
class ScenceControl;
class ToolDialog;
struct Tool;

namespace Ui {
class MainWindow;
}

// Swallows mouse presses, releases and double-clicks, wheel events, drag
// entries and drops while a LAS layer loads (the load runs on this thread).
class InputBlocker : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // The layer groups, in the order of the tree.
    enum Group { LasGroup = 0, VectorGroup = 1, RasterGroup = 2, TableGroup = 3 };

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    bool isModified() const { return modified; }
    void setModified(bool value) { modified = value; }

    // Installs or removes the input-blocking event filter on the window.
    void setInputBlocked(bool blocked);
    // Appends a line to the Output dock.
    void log(const QString &line);

    // Fills the properties table from a file; false when it cannot be read.
    bool showProperties(const QString &path);
    // Adds files sorted into their groups by suffix and shows the first.
    void addResults(const QStringList &paths);
    // Opens a project file (as Open without the dialog).
    bool openProjectFile(const QString &path);

    const QStringList &layerFiles(Group group) const { return *lists[group]; }
    QTreeWidgetItem *rootItem() const { return root; }
    QTreeWidgetItem *groupItem(Group group) const { return groups[group]; }
    const QString &currentProjectPath() const { return projectPath; }

    GLWidget *glView() const { return view; }
    ScenceControl *sceneControl() const { return scene; }
    QLabel *coordinateLabel() const { return statusLabels[0]; }
    QLabel *stateLabel() const { return statusLabels[1]; }
    QTableWidget *propertiesTable() const;
    QTreeWidget *layerTree() const;
    QString outputText() const;

    // The menu actions whose tools are not available yet: every action of
    // the tool menus that no registered tool claims.
    QStringList pendingActions() const;
    // The layer the scene shows (its group and path; empty path: none).
    QString displayedPath() const { return shownPath; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void on_actionNew_triggered();
    void on_actionOpen_triggered();
    void on_actionSave_triggered();
    void on_actionSave_as_triggered();
    void on_actionExit_triggered();
    void on_actionAdd_LAS_File_triggered();
    void on_actionAdd_Vector_File_triggered();
    void on_actionAdd_Raster_File_triggered();
    void on_actionAdd_Table_File_triggered();
    void on_actionView_Help_triggered();
    void on_actionAbout_triggered();
    void isAddDataClick();
    void isHelp();
    void isMove();
    void isZoomIn();
    void isZoomOut();
    void isPan();
    void isFullExcent();
    void isHClick();
    void isRClick();
    void isIClick();
    void isClassClick();
    void isRGBClick();
    void isIDClick();
    void isOverlapClick();

    void treeItemChanged(QTreeWidgetItem *item, int column);
    void treeItemClicked(QTreeWidgetItem *item, int column);
    void on_treeWidget_customContextMenuRequested(const QPoint &pos);
    void Remove();
    void RemoveAll();
    void TableAttribute();

    void on_actionProject_triggered(bool checked);
    void on_actionProperties_triggered(bool checked);
    void on_actionOutput_triggered(bool checked);
    void on_actionStandard_triggered(bool checked);
    void on_actionTools_triggered(bool checked);
    void on_actionLAS_Dataset_triggered(bool checked);
    void on_Project_visibilityChanged(bool visible);
    void on_Properties_visibilityChanged(bool visible);
    void on_Output_visibilityChanged(bool visible);
    void on_Standard_visibilityChanged(bool visible);
    void on_Tools_visibilityChanged(bool visible);
    void on_LAStoolBar_visibilityChanged(bool visible);

private:
    void followVisibility(QAction *action, bool visible);
    // Runs a tool's dialog on the project's LAS files and adds what it wrote.
    void runTool(const Tool &tool);
    void connectTools();
    void setShortcuts();
    // Follows a changed check mark: an unchecked displayed layer leaves the
    // view, a checked layer is shown.
    void followCheckMark(QTreeWidgetItem *item, Qt::CheckState state);
    void clearScene();
    void buildTree();
    void addFilesToGroup(const QStringList &files, Group group);
    // Validates a file and lists it under its group; false when invalid.
    bool addLayer(const QString &path, Group group);
    void appendLayerItem(const QString &name, const QString &path, Group group);
    // Shows a file in the scene (when its group is checked), or warns.
    void showInScene(const QString &path, Group group);
    void showFirstChecked();
    void removeLayer(Group group, int index);
    void removeAllLayers();
    void updateColourActions();
    void recomputeParent(QTreeWidgetItem *item);
    bool itemLocation(QTreeWidgetItem *item, Group &group, int &index) const;
    QTreeWidgetItem *menuTarget() const;
    void colourClicked(void (ScenceControl::*setter)());
    // "Save changes?": false when the user cancels.
    bool maybeSave();
    bool saveProject();
    bool saveProjectAs();
    bool writeProject(const QString &path);
    void setProjectTitle(const QString &name);

    bool modified = false;
    QStringList lasFiles;
    QStringList vectorFiles;
    QStringList rasterFiles;
    QStringList tableFiles;
    QString projectPath;
    GLWidget *view = nullptr;
    ScenceControl *scene = nullptr;
    int navigationMode = 0;
    Ui::MainWindow *ui;

    QStringList *lists[4] = {&lasFiles, &vectorFiles, &rasterFiles, &tableFiles};
    QTreeWidgetItem *root = nullptr;
    QTreeWidgetItem *groups[4] = {nullptr, nullptr, nullptr, nullptr};
    QTreeWidgetItem *contextItem = nullptr;
    QString shownPath;  // the layer the scene shows
    Group shownGroup = LasGroup;
    QLabel *statusLabels[2] = {nullptr, nullptr};
    InputBlocker *blocker;
    bool blocked = false;
};
