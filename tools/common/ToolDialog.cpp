#include "ToolDialog.h"

#include "CatalogRun.h"
#include "ui_ToolDialog.h"

#include "ProcessDlg.h"
#include "Prompt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleValidator>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>

#include <new>

ToolDialog::ToolDialog(const Tool &tool, QWidget *parent) : QDialog(parent), tool_(tool), ui(new Ui::ToolDialog)
{
    ui->setupUi(this);
    setWindowTitle(tool.spec.title);
    ui->helpText->setHtml(tool.spec.help);
    ui->helpText->hide();
    for (const ParamSpec &p : tool.spec.params) {
        if (p.cliOnly)
            continue;
        const QString name = !p.widgetName.isEmpty() ? p.widgetName : "lineEdit_" + p.option;
        switch (p.kind) {
        case ParamSpec::Choice: {
            auto *box = new QComboBox(this);
            box->setObjectName(name);
            box->addItems(p.items);
            ui->fieldsLayout->addRow(p.label, box);
            connect(box, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] { updateVisibility(); });
            break;
        }
        case ParamSpec::Raster: {
            auto *box = new QComboBox(this);
            box->setObjectName(name);
            auto *row = new QHBoxLayout;
            auto *browse = new QPushButton("...", this);
            browse->setObjectName("browse_" + p.option);
            row->addWidget(box, 1);
            row->addWidget(browse);
            ui->fieldsLayout->addRow(p.label, row);
            connect(browse, &QPushButton::clicked, this, [this, p, box] {
                const QString file = Prompt::openFile(this, p.fileCaption, p.fileFilter);
                if (file.isEmpty())
                    return;
                box->insertItem(0, file);
                box->setCurrentIndex(0);
            });
            // A new raster proposes its default output unless the user typed one.
            connect(box, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
                if (ui->OutputEdit->text().isEmpty() || ui->OutputEdit->text() == lastDefault_)
                    updateDefaultOutput();
            });
            break;
        }
        case ParamSpec::Flag: {
            auto *check = new QCheckBox(p.label, this);
            check->setObjectName(name);
            check->setChecked(p.defaultValue == "1");
            ui->fieldsLayout->addRow(check);
            break;
        }
        case ParamSpec::File: {
            auto *edit = new QLineEdit(p.defaultValue, this);
            edit->setObjectName(name);
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
            break;
        }
        default: {
            auto *edit = new QLineEdit(p.defaultValue, this);
            edit->setObjectName(name);
            if (p.kind == ParamSpec::Number && p.limitMin <= p.limitMax) {
                auto *validator = new QDoubleValidator(p.limitMin, p.limitMax, p.decimals < 0 ? 1000 : p.decimals, edit);
                validator->setNotation(QDoubleValidator::StandardNotation);
                edit->setValidator(validator);
            } else if (p.kind == ParamSpec::Number) {
                edit->setValidator(new QDoubleValidator(edit));
            }
            ui->fieldsLayout->addRow(p.label, edit);
            if (!p.rangeMessage.isEmpty())  // a warning while typing, never enforced
                connect(edit, &QLineEdit::textEdited, this, [this, p](const QString &text) {
                    bool ok = false;
                    const double v = text.toDouble(&ok);
                    if (ok && (v < p.rangeMin || v > p.rangeMax))
                        Prompt::warning(this, tool_.spec.title, p.rangeMessage);
                });
            break;
        }
        }
    }
    updateVisibility();
    ui->fieldsBox->setVisible(!tool.spec.params.isEmpty());
    for (QWidget *w : {static_cast<QWidget *>(ui->labelInput), static_cast<QWidget *>(ui->comboBox),
                       static_cast<QWidget *>(ui->listWidget), static_cast<QWidget *>(ui->AddBtn),
                       static_cast<QWidget *>(ui->DeleteBtn)})
        w->setVisible(tool.spec.lasInputs);
    ui->comboBox->setCurrentIndex(-1);
    // The input list is the form's only stretching part. A tool without it
    // takes the height of the fields it shows instead of the form's default,
    // which would leave a blank band where the list sits.
    if (!tool.spec.lasInputs)
        ui->inputSpacer->changeSize(0, 0, QSizePolicy::Minimum, QSizePolicy::Fixed);
    layout()->invalidate();
    resize(qMax(width(), sizeHint().width()), sizeHint().height());
}

ToolDialog::~ToolDialog() { delete ui; }

QWidget *ToolDialog::paramWidget(const ParamSpec &p) const
{
    return findChild<QWidget *>(!p.widgetName.isEmpty() ? p.widgetName : "lineEdit_" + p.option);
}

QLineEdit *ToolDialog::field(const QString &option) const
{
    const ParamSpec *p = tool_.spec.param(option);
    return p ? qobject_cast<QLineEdit *>(paramWidget(*p)) : nullptr;
}

QString ToolDialog::value(const QString &option) const
{
    const ParamSpec *p = tool_.spec.param(option);
    if (!p)
        return QString();
    QWidget *w = paramWidget(*p);
    if (auto *box = qobject_cast<QComboBox *>(w))
        return box->currentText();
    if (auto *check = qobject_cast<QCheckBox *>(w))
        return check->isChecked() ? "1" : "0";
    if (auto *edit = qobject_cast<QLineEdit *>(w))
        return edit->text();
    return QString();
}

void ToolDialog::setValue(const QString &option, const QString &text)
{
    const ParamSpec *p = tool_.spec.param(option);
    if (!p)
        return;
    QWidget *w = paramWidget(*p);
    if (auto *box = qobject_cast<QComboBox *>(w))
        box->setCurrentText(text);
    else if (auto *check = qobject_cast<QCheckBox *>(w))
        check->setChecked(text == "1");
    else if (auto *edit = qobject_cast<QLineEdit *>(w))
        edit->setText(text);
}

// Parameters shown only while another one has a given value (the IDW power
// while the method is IDW).
void ToolDialog::updateVisibility()
{
    for (const ParamSpec &p : tool_.spec.params) {
        if (p.hiddenWhenOption.isEmpty() || p.cliOnly)
            continue;
        const bool hide = value(p.hiddenWhenOption) == p.hiddenWhenValue;
        QWidget *w = paramWidget(p);
        w->setHidden(hide);
        if (QWidget *label = ui->fieldsLayout->labelForField(w))
            label->setHidden(hide);
    }
}
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

void ToolDialog::setRasterCandidates(const QStringList &files)
{
    for (const ParamSpec &p : tool_.spec.params) {
        if (p.kind != ParamSpec::Raster)
            continue;
        auto *box = qobject_cast<QComboBox *>(paramWidget(p));
        box->blockSignals(true);
        box->addItems(files);
        box->setCurrentIndex(-1);
        box->blockSignals(false);
    }
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
        r.values[p.option] = value(p.option);
    r.output = ui->OutputEdit->text();
    return r;
}

void ToolDialog::addInput(const QString &path)
{
    ui->listWidget->addItem(path);
    inputPaths.push_back(QFile::encodeName(path).toStdString());
}

void ToolDialog::updateDefaultOutput()
{
    lastDefault_ = tool_.defaultOutput ? tool_.defaultOutput(tool_.spec, request())
                                       : ToolChecks::defaultOutput(tool_.spec, inputs());
    ui->OutputEdit->setText(lastDefault_);
}

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
    if (tool_.clearOutputOnDelete)
        ui->OutputEdit->clear();
    else
        updateDefaultOutput();
}

void ToolDialog::on_OutputBtn_clicked()
{
    const int n = static_cast<int>(inputPaths.size());
    if (n == 0 && tool_.spec.lasInputs)
        return;
    const bool folder = tool_.outputIsFolder ? tool_.outputIsFolder(tool_.spec, request())
                                             : n > 1 || tool_.spec.output == OutputKind::Folder;
    if (!folder) {
        const QString chosen = Prompt::saveFile(this, tool_.outputCaption, tool_.outputFilter);
        if (chosen.isEmpty())
            return;
        const QFileInfo info(chosen);
        ui->OutputEdit->setText(ToolChecks::joinPath(info.absolutePath(),
                                                     info.fileName().section('.', 0, 0) + tool_.spec.extension));
        return;
    }
    const QString chosen = Prompt::existingDirectory(this, tr("Select Directory"));
    if (chosen.isEmpty())
        return;
    // Tools whose folder outputs are written as "folder/" keep that form.
    ui->OutputEdit->setText(tool_.outputIsFolder ? ToolChecks::joinPath(chosen, QString()) : chosen);
}

void ToolDialog::on_OK_clicked()
{
    const ToolSpec &spec = tool_.spec;
    ToolRequest req = request();
    QStringList outputs;
    const CheckResult check = ToolChecks::prepare(tool_, req, outputs);
    if (check.setOutput)
        ui->OutputEdit->setText(check.output);
    if (!check.ok) {
        if (!check.resetOption.isEmpty())
            setValue(check.resetOption, req.values.value(check.resetOption));
        if (!check.message.isEmpty())  // an empty message ends the run silently
            Prompt::warning(this, spec.title, check.message);
        return;
    }
    const QStringList questions = ToolChecks::questions(tool_, req);
    for (const QString &q : questions)
        if (Prompt::question(this, spec.title, q, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) !=
            QMessageBox::Yes)
            return;
    bool answeredYes = !questions.isEmpty();
    req.ask = [this, &spec, &answeredYes](const QString &q) {
        const bool yes = Prompt::question(this, spec.title, q, QMessageBox::Yes | QMessageBox::No,
                                          QMessageBox::Yes) == QMessageBox::Yes;
        answeredYes = answeredYes || yes;
        return yes;
    };
    auto *progress = new CProcessDlg(this);
    progress->setWindowTitle(spec.title);
    progress->show();
    progress->SetPosition(0.0);
    ToolOutcome outcome;
    try {
        outcome = CatalogRun::dispatch(tool_, req, outputs, progress);
    } catch (const std::bad_alloc &) {
        outcome = ToolOutcome();
        outcome.warn("Not enough memory for this run; nothing was finished.");
    }
    progress->close();
    delete progress;
    notes_ << outcome.notes;
    for (const QString &w : outcome.warnings)
        Prompt::warning(this, spec.title, w);
    if (!outcome.completed)
        return;
    resultFiles << outcome.results;
    commandLine_ = ToolChecks::commandLine(spec, req, answeredYes);
    if (!tool_.finishedMessage.isEmpty())
        Prompt::information(this, spec.title, tool_.finishedMessage);
    if (Prompt::question(this, spec.title, tr("Do you want to add results into the project?"),
                         QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::No)
        resultFiles.clear();
    accept();
}

void ToolDialog::on_Cancel_clicked() { reject(); }

void ToolDialog::on_ShowHelpBtn_clicked() { ui->helpText->setHidden(!ui->helpText->isHidden()); }
