#include "SelectParamter.h"
#include "ui_SelectParamter.h"

SelectParamter::SelectParamter(const QStringList &fields, QWidget *parent)
    : QDialog(parent), ui(new Ui::SelectParamter)
{
    ui->setupUi(this);
    for (QComboBox *box : {ui->comboBox_X, ui->comboBox_Y, ui->comboBox_R})
        box->addItems(fields);
    ui->comboBox_X->setCurrentIndex(0);
    ui->comboBox_Y->setCurrentIndex(1);
    ui->comboBox_R->setCurrentIndex(2);
    chosen = TableColumns{0, 0, 1, 2};
    on_comboBox_Type_currentIndexChanged(ui->comboBox_Type->currentIndex());
}

SelectParamter::~SelectParamter() { delete ui; }

void SelectParamter::on_comboBox_Type_currentIndexChanged(int index)
{
    chosen.type = index;
    const bool circles = index == 1;
    ui->comboBox_R->setVisible(circles);
    ui->label_R->setVisible(circles);
}

void SelectParamter::on_comboBox_X_currentIndexChanged(int index) { chosen.x = index; }
void SelectParamter::on_comboBox_Y_currentIndexChanged(int index) { chosen.y = index; }
void SelectParamter::on_comboBox_R_currentIndexChanged(int index) { chosen.diameter = index; }

void SelectParamter::on_pushButton_ok_clicked()
{
    chosen.diameter = chosen.type == 0 ? -1 : ui->comboBox_R->currentIndex();
    accept();
}
