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
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>

#include <map>
#include <new>

ToolDialog::ToolDialog(const Tool &tool, QWidget *parent) : QDialog(parent), tool_(tool), ui(new Ui::ToolDialog)
{
    ui->setupUi(this);
    setWindowTitle(tool.spec.title);
    ui->helpText->setHtml(tool.spec.help);
    ui->helpText->hide();
    for (const ParamSpec &p : tool.spec.params) {
        if (p.cliOnly || p.ownWidget)
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
        case ParamSpec::List:
            addListField(p, name);
            break;
        case ParamSpec::Set:
            addSetField(p, name);
            break;
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

// A list of entries in a group: chosen from a combo box, or typed into one
// line edit per number and added, or imported from a text file; selected
// rows are deleted. Each row keeps its entry's value as its data.
void ToolDialog::addListField(const ParamSpec &p, const QString &name)
{
    auto *group = new QGroupBox(p.label, this);
    group->setObjectName(name + "_group");
    auto *form = new QFormLayout(group);
    auto *list = new QListWidget(group);
    list->setObjectName(name);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setMaximumHeight(110);
    auto append = [list](const QString &text, const QString &value) {
        auto *item = new QListWidgetItem(text, list);
        item->setData(Qt::UserRole, value);
    };
    if (!p.items.isEmpty()) {
        auto *box = new QComboBox(group);
        box->setObjectName(name + "_combo");
        box->addItems(p.items);
        box->setCurrentIndex(-1);
        form->addRow(box);
        connect(box, QOverload<int>::of(&QComboBox::activated), this, [p, list, box, append](int index) {
            const QString value = p.itemValues.value(index, p.items.value(index));
            for (int row = 0; row < list->count(); ++row)
                if (list->item(row)->data(Qt::UserRole).toString() == value) {
                    box->setCurrentIndex(-1);
                    return;  // listed once
                }
            append(p.items.value(index), value);
            box->setCurrentIndex(-1);
        });
    } else {
        QVector<QLineEdit *> edits;
        for (int i = 0; i < p.listFields.size(); ++i) {
            auto *edit = new QLineEdit(group);
            edit->setObjectName(name + "_field" + QString::number(i));
            edit->setValidator(new QDoubleValidator(edit));
            form->addRow(p.listFields[i], edit);
            edits << edit;
        }
        auto *add = new QPushButton(tr("Add"), group);
        add->setObjectName(name + "_add");
        form->addRow(add);
        connect(add, &QPushButton::clicked, this, [this, p, edits, append] {
            QStringList parts;
            for (QLineEdit *e : edits)
                parts << e->text().trimmed();
            QVector<double> numbers;
            const QString entry = parts.join(',');
            QString message = !ToolChecks::entryNumbers(entry, parts.size(), numbers) ? p.listFormatMessage
                              : p.entryCheck                                        ? p.entryCheck(numbers)
                                                                                    : QString();
            if (!message.isEmpty()) {
                Prompt::warning(this, tool_.spec.title, message);
                return;
            }
            append(entry, entry);
        });
    }
    form->addRow(list);
    auto *buttons = new QHBoxLayout;
    auto *remove = new QPushButton(tr("Delete"), group);
    remove->setObjectName(name + "_delete");
    buttons->addWidget(remove);
    connect(remove, &QPushButton::clicked, this, [list] {
        for (int row = list->count() - 1; row >= 0; --row)
            if (list->item(row)->isSelected())
                delete list->takeItem(row);
    });
    if (!p.listFileOption.isEmpty()) {
        auto *import = new QPushButton(tr("Import"), group);
        import->setObjectName(name + "_import");
        buttons->addWidget(import);
        connect(import, &QPushButton::clicked, this, [this, p, append] {
            const QString file = Prompt::openFile(this, p.fileCaption, p.fileFilter);
            if (file.isEmpty())
                return;
            int bad = 0;
            for (const QString &entry : ToolChecks::readListFile(file, p.listFields.size(), bad))
                append(entry, entry);
            if (bad != 0)
                Prompt::warning(this, tool_.spec.title, p.listFormatMessage);
        });
    }
    form->addRow(buttons);
    ui->fieldsLayout->addRow(group);
}

// Checkboxes for the items of a set, with "Select All" and "Unselect All".
void ToolDialog::addSetField(const ParamSpec &p, const QString &name)
{
    auto *group = new QGroupBox(p.label, this);
    group->setObjectName(name);
    auto *grid = new QGridLayout(group);
    QVector<QCheckBox *> boxes;
    for (int i = 0; i < p.items.size(); ++i) {
        auto *check = new QCheckBox(p.items[i], group);
        check->setObjectName(name + "_" + p.itemValues.value(i));
        check->setChecked(p.defaultValue.mid(p.valuePrefix.size()).contains(p.itemValues.value(i)));
        grid->addWidget(check, i / 3, i % 3);
        boxes << check;
    }
    auto *all = new QPushButton(tr("Select All"), group);
    auto *none = new QPushButton(tr("Unselect All"), group);
    all->setObjectName(name + "_all");
    none->setObjectName(name + "_none");
    const int row = (int(p.items.size()) + 2) / 3;
    grid->addWidget(all, row, 0);
    grid->addWidget(none, row, 1);
    connect(all, &QPushButton::clicked, this, [boxes] {
        for (QCheckBox *b : boxes)
            b->setChecked(true);
    });
    connect(none, &QPushButton::clicked, this, [boxes] {
        for (QCheckBox *b : boxes)
            b->setChecked(false);
    });
    ui->fieldsLayout->addRow(group);
}
namespace {
std::map<const Tool *, ToolDialog::Maker> &makers()
{
    static std::map<const Tool *, ToolDialog::Maker> m;
    return m;
}
}  // namespace

void ToolDialog::setMaker(const Tool &tool, Maker maker) { makers()[&tool] = std::move(maker); }

ToolDialog *ToolDialog::create(const Tool &tool, QWidget *parent)
{
    const auto it = makers().find(&tool);
    return it != makers().end() ? it->second(parent) : new ToolDialog(tool, parent);
}

QFormLayout *ToolDialog::fieldsLayout() const { return ui->fieldsLayout; }

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
    if (auto *list = qobject_cast<QListWidget *>(w)) {
        QStringList entries;
        for (int row = 0; row < list->count(); ++row)
            entries << list->item(row)->data(Qt::UserRole).toString();
        return entries.join(';');
    }
    if (p->kind == ParamSpec::Set && w) {
        QString text = p->valuePrefix;
        for (const QString &letter : p->itemValues)
            if (auto *check = w->findChild<QCheckBox *>(w->objectName() + "_" + letter))
                text += check->isChecked() ? letter : QString();
        return text;
    }
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
    if (auto *list = qobject_cast<QListWidget *>(w)) {
        list->clear();
        for (const QString &entry : ToolChecks::listEntries(text)) {
            const int i = p->itemValues.indexOf(entry);
            auto *item = new QListWidgetItem(i >= 0 ? p->items.value(i) : entry, list);
            item->setData(Qt::UserRole, entry);
        }
        return;
    }
    if (p->kind == ParamSpec::Set && w) {
        for (const QString &letter : p->itemValues)
            if (auto *check = w->findChild<QCheckBox *>(w->objectName() + "_" + letter))
                check->setChecked(text.mid(p->valuePrefix.size()).contains(letter));
        return;
    }
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
        if (p.hiddenWhenOption.isEmpty() || p.cliOnly || p.ownWidget)
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
        // Every field the checks set back (to its default) shows it.
        for (const ParamSpec &p : spec.params)
            if (!p.cliOnly && req.values.value(p.option) != value(p.option))
                setValue(p.option, req.values.value(p.option));
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
    req.proceed = [this, &spec](const QString &q) {
        return Prompt::question(this, spec.title, q, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) ==
               QMessageBox::Ok;
    };
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
