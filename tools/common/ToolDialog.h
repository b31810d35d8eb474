#pragma once
// The behaviour every tool dialog shares: inputs from the project or a file
// dialog, the default output name, the output button, the checks in the
// tool's order with its texts, the progress dialog, the add-results
// question and the hand-back of the written files. A tool supplies only its
// declaration (fields, checks, texts) and its run (see ToolDeclaration.h).

#include "ToolDeclaration.h"

#include <QDialog>

#include <functional>
#include <string>
#include <vector>

class QComboBox;
class QFormLayout;
class QLineEdit;
class QListWidget;

namespace Ui {
class ToolDialog;
}

class ToolDialog : public QDialog {
    Q_OBJECT
public:
    explicit ToolDialog(const Tool &tool, QWidget *parent = nullptr);
    ~ToolDialog() override;

    // A tool whose dialog adds its own widgets to the shared form registers
    // how to make it; create() makes that dialog, or the shared one.
    using Maker = std::function<ToolDialog *(QWidget *parent)>;
    static void setMaker(const Tool &tool, Maker maker);
    static ToolDialog *create(const Tool &tool, QWidget *parent = nullptr);

    // The project's LAS files, offered in the input combo box.
    QStringList candidateFiles;
    // The files written by an accepted run.
    QStringList resultFiles;
    // The chosen inputs, parallel to the rows of the input list.
    std::vector<std::string> inputPaths;

    // Appends candidates to the combo box with nothing selected.
    void setCandidates(const QStringList &files);
    // The project's rasters, offered by the raster parameters' combo boxes.
    void setRasterCandidates(const QStringList &files);
    // Clears the inputs and the output.
    void Reset();

    const Tool &tool() const { return tool_; }
    QLineEdit *field(const QString &option) const;
    // A parameter's value as text (choices: the item; flags: "1" or "0").
    QString value(const QString &option) const;
    void setValue(const QString &option, const QString &value);
    QLineEdit *outputEdit() const;
    QListWidget *inputList() const;
    QComboBox *inputCombo() const;
    // The verdanta-cli command of the last completed run.
    const QString &lastCommandLine() const { return commandLine_; }
    // Remarks of the runs for the Output dock (a damaged input read in part).
    const QStringList &notes() const { return notes_; }

protected:
    // Where a derived dialog adds its rows, below the parameters'.
    QFormLayout *fieldsLayout() const;
    // Proposes the tool's default output for the current request.
    void updateDefaultOutput();

private slots:
    void on_comboBox_currentIndexChanged(int index);
    void on_AddBtn_clicked();
    void on_DeleteBtn_clicked();
    void on_OutputBtn_clicked();
    void on_OK_clicked();
    void on_Cancel_clicked();
    void on_ShowHelpBtn_clicked();

private:
    void addInput(const QString &path);
    void addListField(const ParamSpec &p, const QString &name);
    void addSetField(const ParamSpec &p, const QString &name);
    QWidget *paramWidget(const ParamSpec &p) const;
    void updateVisibility();
    QStringList inputs() const;
    ToolRequest request() const;

    const Tool &tool_;
    Ui::ToolDialog *ui;
    QString commandLine_;
    QStringList notes_;
    QString lastDefault_;  // the output last proposed
};
