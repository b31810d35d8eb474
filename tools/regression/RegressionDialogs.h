#pragma once
// The three regression dialogs on their shared form: the shared tool dialog
// (LAS inputs, output, checks, progress, add-results) with the training
// data, the model settings, the independent variables and the hold-out
// added; and the checklist that picks the members of a variable group.

#include "RegressionTools.h"
#include "ToolDialog.h"

#include <QDialog>

#include <vector>

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSlider;
class QTextEdit;

class ParametersDlg : public QDialog {
    Q_OBJECT
public:
    explicit ParametersDlg(const QStringList &names, QWidget *parent = nullptr);

    QStringList names;
    std::vector<int> flags;  // one per name, set when OK is pressed
    QListWidget *list() const { return list_; }

private slots:
    void on_OK_clicked();
    void on_Cancel_clicked();
    void on_SelectAll_clicked();
    void on_UnselectAll_clicked();

private:
    QListWidget *list_;
};

class RegressionDialog : public ToolDialog {
    Q_OBJECT
public:
    explicit RegressionDialog(const Tool &tool, QWidget *parent = nullptr);

    // The 43 variable flags, kept between runs of the dialog.
    std::vector<int> variableFlags;
    // Sets a group's flags from its list dialog's result (what ">>>" does
    // after OK).
    void applyGroupList(int group, const std::vector<int> &flags);

private slots:
    void on_SampleBtn_clicked();  // opens the sample file
    void on_PlotType_currentIndexChanged(int index);
    void on_horizontalSlider_valueChanged(int value);
    void on_lineEdit_textChanged(const QString &text);

private:
    void groupToggled(int group, bool checked);
    void openGroupList(int group);
    void syncVariables();

    QTextEdit *preview_;
    QLabel *sizeLabel_;
    QSlider *slider_;
    QList<QCheckBox *> groupBoxes_;
    QList<QPushButton *> listButtons_;
};

class LinearRegression : public RegressionDialog {
    Q_OBJECT
public:
    explicit LinearRegression(QWidget *parent = nullptr) : RegressionDialog(RegressionTools::linear(), parent) {}
};

class SVMRegression : public RegressionDialog {
    Q_OBJECT
public:
    explicit SVMRegression(QWidget *parent = nullptr) : RegressionDialog(RegressionTools::svr(), parent) {}
};

class ANNRegression : public RegressionDialog {
    Q_OBJECT
public:
    explicit ANNRegression(QWidget *parent = nullptr) : RegressionDialog(RegressionTools::ann(), parent) {}
};

namespace RegressionDialogs {
// Lets ToolDialog::create make the three dialogs.
void registerDialogs();
}  // namespace RegressionDialogs
