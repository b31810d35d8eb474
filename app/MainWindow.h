#pragma once
// The single main window: menus, three toolbars, three docks, the status
// bar, the central view, and the gate to every tool.

#include <QMainWindow>
#include <QStringList>

class GLWidget;
class QAction;
class QLabel;
class QTableWidget;

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
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    bool isModified() const { return modified; }
    void setModified(bool value) { modified = value; }

    // Installs or removes the input-blocking event filter on the window.
    void setInputBlocked(bool blocked);

    // Appends a line to the Output dock.
    void log(const QString &line);

    GLWidget *glView() const { return view; }
    QLabel *coordinateLabel() const { return statusLabels[0]; }
    QLabel *stateLabel() const { return statusLabels[1]; }
    QTableWidget *propertiesTable() const;

    // The menu actions whose tools are not available yet.
    static const QStringList &pendingActions();

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_actionExit_triggered();
    void on_actionView_Help_triggered();
    void on_actionAbout_triggered();
    void isHelp();

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
    // Saves the project; false keeps the window open.
    bool saveProject();

    bool modified = false;
    QStringList lasFiles;
    QStringList vectorFiles;
    QStringList rasterFiles;
    QStringList tableFiles;
    QString projectPath;
    GLWidget *view = nullptr;
    int navigationMode = 0;
    Ui::MainWindow *ui;

    QLabel *statusLabels[2] = {nullptr, nullptr};
    InputBlocker *blocker;
    bool blocked = false;
    bool closing = false;
};
