#include "ToolDialog.h"
#include "ui_ToolDialog.h"

#include "ProcessDlg.h"
#include "Prompt.h"

#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>

ToolDialog::ToolDialog(const Tool &tool, QWidget *parent) : QDialog(parent), tool_(tool), ui(new Ui::ToolDialog)
{
    ui->setupUi(this);
    setWindowTitle(tool.spec.title);
    ui->helpText->setHtml(tool.spec.help);
    ui->helpText->hide();
    for (const ParamSpec &p : tool.spec.params) {
        auto *edit = new QLineEdit(p.defaultValue, this);
        edit->setObjectName("lineEdit_" + p.option);
        if (p.kind != ParamSpec::File) {
            ui->fieldsLayout->addRow(p.label, edit);
            continue;
        }
        auto *row = new QHBoxLayout;
        auto *browse = new QPushButton("...", this);
        browse->setObjectName("browse_" + p.option);
        row->addWidget(edit);
        row->addWidget(browse);
        ui->fieldsLayout->addRow(p.label, row);
        connect(browse, &QPushButton::clicked, this, [this, p, edit] {
            const QString file = Prompt::openFile(this, p.fileCaption, p.fileFilter);
            if (!file.isEmpty())
                edit->setText(file);
        });
    }
    ui->fieldsBox->setVisible(!tool.spec.params.isEmpty());
    ui->comboBox->setCurrentIndex(-1);
}

ToolDialog::~ToolDialog() { delete ui; }

QLineEdit *ToolDialog::field(const QString &option) const { return findChild<QLineEdit *>("lineEdit_" + option); }
QLineEdit *ToolDialog::outputEdit() const { return ui->OutputEdit; }
QListWidget *ToolDialog::inputList() const { return ui->listWidget; }
QComboBox *ToolDialog::inputCombo() const { return ui->comboBox; }

void ToolDialog::setCandidates(const QStringList &files)
{
    if (candidateFiles != files)
        candidateFiles = files;
    ui->comboBox->blockSignals(true);
    ui->comboBox->addItems(files);
    ui->comboBox->setCurrentIndex(-1);
    ui->comboBox->blockSignals(false);
}

void ToolDialog::Reset()
{
    ui->listWidget->clear();
    inputPaths.clear();
    ui->OutputEdit->clear();
}

QStringList ToolDialog::inputs() const
{
    QStringList list;
    for (const std::string &p : inputPaths)
        list << QFile::decodeName(QByteArray::fromStdString(p));
    return list;
}

ToolRequest ToolDialog::request() const
{
    ToolRequest r;
    r.inputs = inputs();
    for (const ParamSpec &p : tool_.spec.params)
        r.values[p.option] = field(p.option)->text();
    r.output = ui->OutputEdit->text();
    return r;
}

void ToolDialog::addInput(const QString &path)
{
    ui->listWidget->addItem(path);
    inputPaths.push_back(QFile::encodeName(path).toStdString());
}

void ToolDialog::updateDefaultOutput() { ui->OutputEdit->setText(ToolChecks::defaultOutput(tool_.spec, inputs())); }

void ToolDialog::on_comboBox_currentIndexChanged(int index)
{
    if (index < 0)
        return;
    addInput(ui->comboBox->itemText(index));
    ui->comboBox->blockSignals(true);
    ui->comboBox->setCurrentIndex(-1);
    ui->comboBox->blockSignals(false);
    updateDefaultOutput();
}

void ToolDialog::on_AddBtn_clicked()
{
    const QStringList files = Prompt::openFiles(this, tr("Open File"), tool_.spec.inputFilter);
    for (const QString &f : files)
        addInput(f);
    if (!files.isEmpty())
        updateDefaultOutput();
}

void ToolDialog::on_DeleteBtn_clicked()
{
    for (int row = ui->listWidget->count() - 1; row >= 0; --row) {
        if (!ui->listWidget->item(row)->isSelected())
            continue;
        delete ui->listWidget->takeItem(row);
        inputPaths.erase(inputPaths.begin() + row);
    }
    updateDefaultOutput();
}

void ToolDialog::on_OutputBtn_clicked()
{
    const int n = static_cast<int>(inputPaths.size());
    if (n == 0)
        return;
    if (n == 1 && tool_.spec.output != OutputKind::Folder) {
        const QString filter = tool_.spec.extension == ".las" ? "LAS File(*.las)" : "*" + tool_.spec.extension;
        const QString chosen = Prompt::saveFile(this, tr("Output Path"), filter);
        if (chosen.isEmpty())
            return;
        const QFileInfo info(chosen);
        ui->OutputEdit->setText(ToolChecks::joinPath(info.absolutePath(),
                                                     info.fileName().section('.', 0, 0) + tool_.spec.extension));
        return;
    }
    const QString folder = Prompt::existingDirectory(this, tr("Select Directory"));
    if (!folder.isEmpty())
        ui->OutputEdit->setText(folder);
}

void ToolDialog::on_OK_clicked()
{
    const ToolSpec &spec = tool_.spec;
    ToolRequest req = request();
    CheckResult check = ToolChecks::validate(spec, req);
    if (check.ok) {
        const QStringList outputs = ToolChecks::resolveOutputs(spec, req);
        check = ToolChecks::refuseOverwrite(spec, req, outputs);
        if (check.ok) {
            auto *progress = new CProcessDlg(this);
            progress->setWindowTitle(spec.title);
            progress->show();
            progress->SetPosition(0.0);
            const ToolOutcome outcome = tool_.run(req, outputs, progress);
            progress->close();
            delete progress;
            for (const QString &w : outcome.warnings)
                Prompt::warning(this, spec.title, w);
            if (!outcome.completed)
                return;
            resultFiles << outcome.results;
            commandLine_ = ToolChecks::commandLine(spec, req);
            if (Prompt::question(this, spec.title, tr("Do you want to add results into the project?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::No)
                resultFiles.clear();
            accept();
            return;
        }
    }
    if (!check.resetOption.isEmpty())
        field(check.resetOption)->setText(req.values.value(check.resetOption));
    Prompt::warning(this, spec.title, check.message);
}

void ToolDialog::on_Cancel_clicked() { reject(); }

void ToolDialog::on_ShowHelpBtn_clicked() { ui->helpText->setHidden(!ui->helpText->isHidden()); }
