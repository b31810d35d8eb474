#include "SegmentationDialogs.h"

#include "Prompt.h"

#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextStream>
#include <QVBoxLayout>

namespace {
QPushButton *button(const QString &text, const QString &name, QWidget *parent)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(name);
    return b;
}
}  // namespace

InPutCSV::InPutCSV(QWidget *parent) : QDialog(parent)
{
    setWindowTitle("Individual Trees Segmentation Result");
    auto *layout = new QVBoxLayout(this);
    auto *row = new QHBoxLayout;
    row->addWidget(new QLabel("InPut CSV", this));
    edit_ = new QLineEdit(this);
    edit_->setObjectName("lineEdit");
    row->addWidget(edit_, 1);
    row->addWidget(button("...", "OpenFile", this));
    layout->addLayout(row);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(button("OK", "OKBtn", this));
    buttons->addWidget(button("Cancel", "CancelBtn", this));
    layout->addLayout(buttons);
    QMetaObject::connectSlotsByName(this);
    resize(460, sizeHint().height());
}

void InPutCSV::on_OpenFile_clicked()
{
    const QString file = Prompt::openFile(this, "Open CSV File", "CSV(*.csv)");
    if (!file.isEmpty())
        edit_->setText(file);
}

void InPutCSV::on_CancelBtn_clicked() { reject(); }

void InPutCSV::on_OKBtn_clicked()
{
    const QString path = edit_->text().trimmed();
    if (path.isEmpty() || !QFile::exists(path)) {
        Prompt::warning(this, "Open CSV File", "CSV Path is invalid! Please set!");
        edit_->clear();
        return;
    }
    path_ = path;
    accept();
}

Overlap::Overlap(const QStringList &rasters, const QStringList &tables, QWidget *parent)
    : QDialog(parent), rasters_(rasters), tables_(tables)
{
    setWindowTitle("Segmentation Overlap Tool");
    auto *layout = new QVBoxLayout(this);
    auto *files = new QFormLayout;
    chm_ = new QComboBox(this);
    chm_->setObjectName("comboBoxchm");
    files->addRow("CHM File", chm_);
    auto *result = new QGroupBox("Segmentation Result", this);
    auto *resultForm = new QFormLayout(result);
    csv_ = new QComboBox(result);
    csv_->setObjectName("comboBoxcsv");
    resultForm->addRow("CSV File", csv_);
    layout->addLayout(files);
    layout->addWidget(result);
    auto *fields = new QGroupBox("Specify the Fields", this);
    auto *fieldForm = new QFormLayout(fields);
    x_ = new QComboBox(fields);
    x_->setObjectName("comboBox_X");
    y_ = new QComboBox(fields);
    y_->setObjectName("comboBox_Y");
    fieldForm->addRow("X", x_);
    fieldForm->addRow("Y", y_);
    layout->addWidget(fields);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(button("Help", "HelpBtn", this));
    buttons->addStretch();
    buttons->addWidget(button("OK", "OkBtn", this));
    buttons->addWidget(button("Cancel", "CancelBtn", this));
    layout->addLayout(buttons);
    help_ = new QTextBrowser(this);
    help_->setHtml("<h3>Segmentation Overlap Tool</h3><p>Overlaps the CHM file and the CSV file of a tree "
                   "segmentation, so that users can view the segmentation results: the CHM in grey, each tree "
                   "position as a red point.</p>");
    help_->hide();
    layout->addWidget(help_);
    QMetaObject::connectSlotsByName(this);
    AddItems();
    resize(460, sizeHint().height());
}

void Overlap::AddItems()
{
    for (QComboBox *box : {chm_, csv_}) {
        box->blockSignals(true);
        box->clear();
    }
    chm_->addItems(rasters_);
    csv_->addItems(tables_);
    for (QComboBox *box : {chm_, csv_}) {
        box->setCurrentIndex(-1);
        box->blockSignals(false);
    }
}

void Overlap::on_comboBoxchm_currentIndexChanged(int index)
{
    choice_.chmPath = index >= 0 ? rasters_.value(index) : QString();
}

void Overlap::on_comboBoxcsv_currentIndexChanged(int index)
{
    choice_.tablePath = index >= 0 ? tables_.value(index) : QString();
    fields_.clear();
    QFile file(choice_.tablePath);
    if (!choice_.tablePath.isEmpty() && file.open(QIODevice::ReadOnly | QIODevice::Text))
        fields_ = QTextStream(&file).readLine().split(',');
    for (QComboBox *box : {x_, y_}) {
        box->blockSignals(true);
        box->clear();
        box->addItems(fields_);
        box->blockSignals(false);
    }
    x_->setCurrentIndex(fields_.isEmpty() ? -1 : 0);
    y_->setCurrentIndex(fields_.size() > 1 ? 1 : -1);
    choice_.xIndex = std::max(0, x_->currentIndex());
    choice_.yIndex = std::max(0, y_->currentIndex());
}

void Overlap::on_comboBox_X_currentIndexChanged(int index) { choice_.xIndex = std::max(0, index); }
void Overlap::on_comboBox_Y_currentIndexChanged(int index) { choice_.yIndex = std::max(0, index); }
void Overlap::on_HelpBtn_clicked() { help_->setHidden(!help_->isHidden()); }
void Overlap::on_CancelBtn_clicked() { reject(); }
void Overlap::on_OkBtn_clicked() { accept(); }
