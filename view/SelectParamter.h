#pragma once
// Chooses the columns of a table layer: the data type (points or circles)
// and the X, Y and diameter fields.

#include "ScenceControl.h"

#include <QDialog>

namespace Ui {
class SelectParamter;
}

class SelectParamter : public QDialog {
    Q_OBJECT
public:
    explicit SelectParamter(const QStringList &fields, QWidget *parent = nullptr);
    ~SelectParamter() override;

    TableColumns columns() const { return chosen; }

private slots:
    void on_comboBox_Type_currentIndexChanged(int index);
    void on_comboBox_X_currentIndexChanged(int index);
    void on_comboBox_Y_currentIndexChanged(int index);
    void on_comboBox_R_currentIndexChanged(int index);
    void on_pushButton_ok_clicked();

private:
    Ui::SelectParamter *ui;
    TableColumns chosen;
};
