#include "RegressionDialogs.h"

#include "Prompt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleValidator>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTextEdit>
#include <QTextStream>
#include <QVBoxLayout>

using namespace RegressionTools;

// ---- ParametersDlg -------------------------------------------------------------------

ParametersDlg::ParametersDlg(const QStringList &itemNames, QWidget *parent) : QDialog(parent), names(itemNames)
{
    setWindowTitle("Parameters");
    auto *layout = new QVBoxLayout(this);
    list_ = new QListWidget(this);
    list_->setObjectName("listWidget");
    for (const QString &name : names) {
        auto *item = new QListWidgetItem(name, list_);
        item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
        item->setCheckState(Qt::Checked);
    }
    layout->addWidget(list_);
    auto *buttons = new QHBoxLayout;
    for (const char *text : {"Select All", "Unselect All", "OK", "Cancel"}) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(QString(text).remove(' '));
        buttons->addWidget(b);
    }
    layout->addLayout(buttons);
    connect(findChild<QPushButton *>("SelectAll"), &QPushButton::clicked, this, &ParametersDlg::on_SelectAll_clicked);
    connect(findChild<QPushButton *>("UnselectAll"), &QPushButton::clicked, this,
            &ParametersDlg::on_UnselectAll_clicked);
    connect(findChild<QPushButton *>("OK"), &QPushButton::clicked, this, &ParametersDlg::on_OK_clicked);
    connect(findChild<QPushButton *>("Cancel"), &QPushButton::clicked, this, &ParametersDlg::on_Cancel_clicked);
}

void ParametersDlg::on_OK_clicked()
{
    flags.assign(static_cast<size_t>(list_->count()), 0);
    for (int i = 0; i < list_->count(); ++i)
        flags[i] = list_->item(i)->checkState() == Qt::Checked ? 1 : 0;
    accept();
}

void ParametersDlg::on_Cancel_clicked() { reject(); }

void ParametersDlg::on_SelectAll_clicked()
{
    for (QListWidgetItem *item : list_->findItems("*", Qt::MatchWildcard))
        item->setCheckState(Qt::Checked);
}

void ParametersDlg::on_UnselectAll_clicked()
{
    for (QListWidgetItem *item : list_->findItems("*", Qt::MatchWildcard))
        item->setCheckState(Qt::Unchecked);
}

// ---- the regression dialogs ----------------------------------------------------------

namespace {

QComboBox *combo(QWidget *parent, const QString &name, const QStringList &items = {})
{
    auto *box = new QComboBox(parent);
    box->setObjectName(name);
    box->addItems(items);
    return box;
}

QLineEdit *edit(QWidget *parent, const QString &name, const QString &text, QValidator *validator = nullptr)
{
    auto *e = new QLineEdit(text, parent);
    e->setObjectName(name);
    if (validator)
        e->setValidator(validator);
    return e;
}

// A field the form does not show but the request reads (the fixed method
// of the SVR and ANN dialogs).
QLineEdit *hidden(QWidget *parent, const QString &name, const QString &text)
{
    QLineEdit *e = edit(parent, name, text);
    e->hide();
    return e;
}

// The object names of the six group check boxes and the three list buttons.
const char *const kGroupBoxes[] = {"Norma_Sta_checkBox", "Percentiles_checkBox", "Density_checkBox",
                                   "LAI_checkBox",       "GAP_Fraction_checkBox", "Canpoycover_checkBox"};
const char *const kListButtons[] = {"NormBtn", "PercenBtn", "DensityBtn"};

}  // namespace

RegressionDialog::RegressionDialog(const Tool &tool, QWidget *parent)
    : ToolDialog(tool, parent), variableFlags(defaultFlags())
{
    const QString method = tool.spec.param("method")->defaultValue;
    QFormLayout *form = fieldsLayout();

    // Training data: the sample file, its preview, the fields and the plots.
    auto *training = new QGroupBox("Import training data", this);
    auto *tf = new QFormLayout(training);
    auto *sampleRow = new QHBoxLayout;
    QLineEdit *sample = edit(training, "SampleEdit", QString());
    sample->setReadOnly(true);
    auto *sampleBtn = new QPushButton("...", training);
    sampleBtn->setObjectName("SampleBtn");
    sampleRow->addWidget(sample);
    sampleRow->addWidget(sampleBtn);
    tf->addRow("Sample data", sampleRow);
    preview_ = new QTextEdit(training);
    preview_->setObjectName("SamplePreview");
    preview_->setReadOnly(true);
    preview_->setFixedHeight(70);
    tf->addRow(preview_);
    tf->addRow("Dependent Variable", combo(training, "DependentCombo"));
    tf->addRow("X", combo(training, "XCombo"));
    tf->addRow("Y", combo(training, "YCombo"));
    QComboBox *plot = combo(training, "PlotType", {"Square", "Circle"});
    tf->addRow("Plot Type", plot);
    sizeLabel_ = new QLabel("Length(m)", training);
    auto *sizeValidator = new QDoubleValidator(this);
    sizeValidator->setBottom(0.0);
    tf->addRow(sizeLabel_, edit(training, "SizeEdit", QString(), sizeValidator));
    form->addRow(training);

    // The model's settings.
    auto *model = new QGroupBox(method == "SVR" ? "SVR Parameters" : method == "ANN" ? "ANN Parameters" : "Method",
                                this);
    auto *mf = new QFormLayout(model);
    auto nonNegative = [this] {
        auto *v = new QDoubleValidator(this);
        v->setBottom(0.0);
        return v;
    };
    if (method == "SVR") {
        hidden(model, "MethodCombo", "SVR");
        mf->addRow("SVM type", combo(model, "SVMTypeCombo", {"EPSILON_SVR", "NU_SVR"}));
        mf->addRow("Kernel type", combo(model, "KernelCombo", {"RBF function", "Linear", "Polynomial", "sigmoid"}));
        mf->addRow("Degree", edit(model, "DegreeEdit", "3", nonNegative()));
        mf->addRow("gamma", edit(model, "GammaEdit", "0.1", nonNegative()));
    } else if (method == "ANN") {
        hidden(model, "MethodCombo", "ANN");
        mf->addRow("Momentum", edit(model, "MomentumEdit", "0.3", nonNegative()));
        mf->addRow("Learning Rate", edit(model, "LearningRateEdit", "0.1", nonNegative()));
    } else {
        QComboBox *m = combo(model, "MethodCombo", {"Enter", "Stepwise"});
        mf->addRow("Method", m);
        connect(m, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] {
            // A proposed output follows the method's default name.
            const QString out = outputEdit()->text();
            const QString name = QFileInfo(out).fileName();
            if (name == "LinearRegression.tif" || name == "StepRegression.tif")
                updateDefaultOutput();
        });
    }
    form->addRow(model);

    // The independent variables: six groups, the first three with a list.
    auto *variables = new QGroupBox("Independent Variables", this);
    auto *grid = new QFormLayout(variables);
    for (int g = 0; g < variableGroups().size(); ++g) {
        auto *box = new QCheckBox(variableGroups()[g].label, variables);
        box->setObjectName(kGroupBoxes[g]);
        groupBoxes_ << box;
        auto *row = new QHBoxLayout;
        row->addWidget(box, 1);
        if (g < 3) {
            auto *list = new QPushButton(">>>", variables);
            list->setObjectName(kListButtons[g]);
            list->setFixedWidth(48);
            listButtons_ << list;
            row->addWidget(list);
            connect(list, &QPushButton::clicked, this, [this, g] { openGroupList(g); });
        }
        grid->addRow(row);
        const VariableGroup &vg = variableGroups()[g];
        box->setChecked(variableFlags[vg.first] == 1);
        if (g < 3)
            listButtons_[g]->setEnabled(box->isChecked());
        connect(box, &QCheckBox::toggled, this, [this, g](bool on) { groupToggled(g, on); });
    }
    hidden(variables, "lineEdit_variables", variablesText(variableFlags));
    form->addRow(variables);

    // Accuracy assessment: the hold-out share and the seed of the split.
    auto *accuracy = new QGroupBox("Accuracy Assessment", this);
    auto *af = new QFormLayout(accuracy);
    auto *holdRow = new QHBoxLayout;
    slider_ = new QSlider(Qt::Horizontal, accuracy);
    slider_->setObjectName("horizontalSlider");
    slider_->setRange(0, 100);
    slider_->setValue(10);
    QLineEdit *holdout = edit(accuracy, "lineEdit", "10", new QIntValidator(0, 100, this));
    holdout->setFixedWidth(48);
    holdRow->addWidget(slider_, 1);
    holdRow->addWidget(holdout);
    af->addRow("Hold-out for Testing", holdRow);
    af->addRow("Random seed", edit(accuracy, "SeedEdit", "1", new QIntValidator(0, 2147483647, this)));
    form->addRow(accuracy);

    connect(sampleBtn, &QPushButton::clicked, this, &RegressionDialog::on_SampleBtn_clicked);
    connect(plot, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &RegressionDialog::on_PlotType_currentIndexChanged);
    connect(slider_, &QSlider::valueChanged, this, &RegressionDialog::on_horizontalSlider_valueChanged);
    connect(holdout, &QLineEdit::textChanged, this, &RegressionDialog::on_lineEdit_textChanged);
    for (const char *name : {"DependentCombo", "XCombo", "YCombo"})
        findChild<QComboBox *>(name)->setCurrentIndex(-1);
    layout()->invalidate();
    resize(qMax(width(), sizeHint().width()), sizeHint().height());
    setFixedSize(size());
}

void RegressionDialog::syncVariables()
{
    findChild<QLineEdit *>("lineEdit_variables")->setText(variablesText(variableFlags));
}

void RegressionDialog::groupToggled(int group, bool checked)
{
    const VariableGroup &g = variableGroups()[group];
    std::fill(variableFlags.begin() + g.first, variableFlags.begin() + g.first + g.count, checked ? 1 : 0);
    if (group < 3)
        listButtons_[group]->setEnabled(checked);
    syncVariables();
}

void RegressionDialog::applyGroupList(int group, const std::vector<int> &flags)
{
    const VariableGroup &g = variableGroups()[group];
    for (int i = 0; i < g.count && i < static_cast<int>(flags.size()); ++i)
        variableFlags[g.first + i] = flags[i];
    syncVariables();
}

void RegressionDialog::openGroupList(int group)
{
    const VariableGroup &g = variableGroups()[group];
    ParametersDlg list(variableNames().mid(g.first, g.count));
    list.setWindowTitle(g.label);
    if (list.exec() == QDialog::Accepted)
        applyGroupList(group, list.flags);
}

void RegressionDialog::on_SampleBtn_clicked()
{
    const QString path = Prompt::openFile(this, "Open File",
                                          tool().spec.param("samples")->fileFilter);
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    QTextStream in(&file);
    const QString header = in.readLine();
    const QStringList fields = header.split(',');
    if (fields.size() < 3) {
        Prompt::warning(this, windowTitle(), "The Sample Fields less than 3!");
        return;
    }
    QStringList shown{header};
    for (int i = 0; i < 5 && !in.atEnd(); ++i)
        shown << in.readLine();
    preview_->setPlainText(shown.join('\n'));
    for (const char *name : {"DependentCombo", "XCombo", "YCombo"}) {
        QComboBox *box = findChild<QComboBox *>(name);
        box->clear();
        box->addItems(fields);
        box->setCurrentIndex(-1);
    }
    findChild<QLineEdit *>("SampleEdit")->setText(path);
    outputEdit()->clear();
    updateDefaultOutput();
}

void RegressionDialog::on_PlotType_currentIndexChanged(int index)
{
    sizeLabel_->setText(index == 1 ? "Radius(m)" : "Length(m)");
    if (tool().spec.param("method")->defaultValue != "Enter")
        findChild<QLineEdit *>("SizeEdit")->clear();
}

void RegressionDialog::on_horizontalSlider_valueChanged(int value)
{
    QLineEdit *field = findChild<QLineEdit *>("lineEdit");
    if (field->text() != QString::number(value))
        field->setText(QString::number(value));
}

void RegressionDialog::on_lineEdit_textChanged(const QString &text)
{
    bool ok = false;
    const int v = text.toInt(&ok);
    if (ok && slider_->value() != v)
        slider_->setValue(v);
}

namespace RegressionDialogs {

void registerDialogs()
{
    ToolDialog::setMaker(linear(), [](QWidget *parent) { return new LinearRegression(parent); });
    ToolDialog::setMaker(svr(), [](QWidget *parent) { return new SVMRegression(parent); });
    ToolDialog::setMaker(ann(), [](QWidget *parent) { return new ANNRegression(parent); });
}

}  // namespace RegressionDialogs
