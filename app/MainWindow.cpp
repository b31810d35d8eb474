#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "GLWidget.h"
#include "HelpAbout.h"
#include "Prompt.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QUrl>

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

const QStringList &MainWindow::pendingActions()
{
    // Tools, layers and the project file arrive with their own dialogs; until
    // then their actions are shown disabled rather than pretending to work.
    static const QStringList names = {
        "actionNew", "actionOpen", "actionSave", "actionSave_as",
        "actionAdd_LAS_File", "actionAdd_Vector_File", "actionAdd_Raster_File", "actionAdd_Table_File",
        "actionDensity_Metrics", "actionPercentiles", "actionCanpoy_Cover", "actionLAI", "actionGAP",
        "actionExcluding_the_error_point", "actionFilter", "actionFormat_Convert", "actionLasToVector",
        "actionLasToRaster", "actionClip_by_Circle", "actionClip_by_Rectangle", "actionClip_by_Polygon",
        "actionLAS_Merge", "actionLAS_Boundary", "actionTile", "actionNormalization",
        "actionExtract_by_Intensity", "actionExtract_by_return", "actionExtract_by_elevation",
        "actionExtract_by_Class", "actionGenerate_HillShade", "actionDEM", "actionDSM", "actionCHM",
        "actionLinear_Regression", "actionSupport_Vector_Regression", "actionArtificial_Neural_Network",
        "actionCHM_Segmentation_2", "actionPoint_Cloud_Segmentation_2", "actionOverlap",
        "actionAddData", "actionNavigate", "actionZoomOut", "actionZoomIn", "actionPan", "actionFit",
    };
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

    for (int i = 0; i < 2; ++i) {
        statusLabels[i] = new QLabel(this);
        ui->statusBar->addWidget(statusLabels[i], 1);
    }
    statusLabels[1]->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);  // 132

    view = new GLWidget(this);
    setCentralWidget(view);
    delete ui->centralWidget;
    ui->centralWidget = nullptr;

    connect(ui->actionHelp, &QAction::triggered, this, &MainWindow::isHelp);
    for (const QString &name : pendingActions())
        if (QAction *action = findChild<QAction *>(name))
            action->setEnabled(false);
    // The colour actions follow the LAS list: none yet.
    for (QAction *a : ui->LAStoolBar->actions())
        a->setEnabled(!lasFiles.isEmpty());
    setWindowTitle(tr("Untitled - Verdanta"));
}

MainWindow::~MainWindow() { delete ui; }

QTableWidget *MainWindow::propertiesTable() const { return ui->propertyTable; }

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

bool MainWindow::saveProject()
{
    // Project files are not written by this build; keep the window open so
    // that nothing is lost.
    Prompt::warning(this, tr("Verdanta"), tr("Saving projects is not available in this version."));
    return false;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!modified) {
        event->accept();
        return;
    }
    const auto answer = Prompt::question(
        this, tr("Verdanta"), tr("The document has been modified.\nDo you want to save your changes?"),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) {
        if (saveProject())
            event->accept();
        else
            event->ignore();
    } else if (answer == QMessageBox::No) {
        event->accept();
    } else {
        event->ignore();
    }
}

void MainWindow::on_actionExit_triggered() { close(); }

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
