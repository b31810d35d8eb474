// The regression dialogs: the variable groups and their lists, the
// hold-out slider, the sample file, the checks in order, and a run through
// the dialog with its questions and results.

#include "DialogSteps.h"
#include "RegressionData.h"
#include "RegressionDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

using namespace RegressionData;

namespace {

// Answers the next modal ParametersDlg: checks what it shows, then presses
// the buttons named.
void answerList(const QStringList &buttons, QStringList *shown)
{
    QTimer::singleShot(0, [buttons, shown] {
        auto *dlg = qobject_cast<ParametersDlg *>(QApplication::activeModalWidget());
        QVERIFY(dlg);
        *shown << dlg->windowTitle();
        for (int i = 0; i < dlg->list()->count(); ++i)
            *shown << dlg->list()->item(i)->text() + (dlg->list()->item(i)->checkState() == Qt::Checked ? "+" : "-");
        for (const QString &b : buttons)
            dlg->findChild<QPushButton *>(b)->click();
    });
}

int selected(const RegressionDialog &d) { return int(std::count(d.variableFlags.begin(), d.variableFlags.end(), 1)); }

}  // namespace

class TestRegressionDialogs : public QObject {
    Q_OBJECT
private slots:
    void variableSelection();
    void sampleFileAndChecks();
    void runThroughTheDialog();
};

void TestRegressionDialogs::variableSelection()
{
    RegressionDialogs::registerDialogs();
    std::unique_ptr<ToolDialog> made(ToolDialog::create(RegressionTools::linear()));
    auto *d = qobject_cast<LinearRegression *>(made.get());
    QVERIFY(d);
    QCOMPARE(d->windowTitle(), QString("Linear Regression"));
    QCOMPARE(selected(*d), 18);
    QCOMPARE(d->value("variables"), QString("elev-percentile,lai,gap,cover"));
    auto box = [&](const char *name) { return d->findChild<QCheckBox *>(name); };
    auto button = [&](const char *name) { return d->findChild<QPushButton *>(name); };
    QVERIFY(box("Norma_Sta_checkBox")->isChecked() && !box("Percentiles_checkBox")->isChecked() &&
            !box("Density_checkBox")->isChecked() && box("Canpoycover_checkBox")->isChecked());
    QVERIFY(button("NormBtn")->isEnabled() && !button("PercenBtn")->isEnabled() && !button("DensityBtn")->isEnabled());

    // The densities come in between the elevation and intensity percentiles.
    box("Percentiles_checkBox")->setChecked(true);
    QVERIFY(button("PercenBtn")->isEnabled());
    QCOMPARE(selected(*d), 28);
    QCOMPARE(d->value("variables"), QString("elev-percentile,elev-density,lai,gap,cover"));
    box("LAI_checkBox")->setChecked(false);
    QCOMPARE(d->variableFlags[40], 0);

    // The list opens fully checked whatever the flags; Unselect All + OK
    // clears the group although its box stays checked; Cancel keeps them.
    d->applyGroupList(0, std::vector<int>(15, 0));
    QStringList shown;
    answerList({"UnselectAll", "SelectAll", "OK"}, &shown);
    button("NormBtn")->click();
    QCOMPARE(shown.value(0), QString("Elevation Percentile"));
    QCOMPARE(shown.mid(1), (QStringList{"Elev P01+", "Elev P05+", "Elev P10+", "Elev P20+", "Elev P25+", "Elev P30+",
                                        "Elev P40+", "Elev P50+", "Elev P60+", "Elev P70+", "Elev P75+", "Elev P80+",
                                        "Elev P90+", "Elev P95+", "Elev P99+"}));
    QCOMPARE(selected(*d), 27);
    shown.clear();
    answerList({"UnselectAll", "OK"}, &shown);
    button("NormBtn")->click();
    QCOMPARE(selected(*d), 12);
    QVERIFY(box("Norma_Sta_checkBox")->isChecked());
    answerList({"UnselectAll", "Cancel"}, &shown);
    button("PercenBtn")->click();
    QCOMPARE(selected(*d), 12);

    // The hold-out slider and its field mirror each other.
    auto *slider = d->findChild<QSlider *>("horizontalSlider");
    auto *field = d->findChild<QLineEdit *>("lineEdit");
    QCOMPARE(slider->value(), 10);
    slider->setValue(35);
    QCOMPARE(field->text(), QString("35"));
    field->setText("60");
    QCOMPARE(slider->value(), 60);
}

void TestRegressionDialogs::sampleFileAndChecks()
{
    QTemporaryDir dir;
    const QString las = dir.filePath("stand.las"), samples = dir.filePath("plots.txt");
    QVERIFY(writeLas(las, stand(1)));
    QVERIFY(writeText(dir.filePath("two.txt"), "PX,PY\n1,2\n"));
    QVERIFY(writeText(samples, plotFile()));
    PromptRecorder prompts;
    LinearRegression d;
    d.setCandidates({las});

    prompts.files << QStringList{dir.filePath("two.txt")};
    d.findChild<QPushButton *>("SampleBtn")->click();
    QCOMPARE(prompts.messages.size(), 1);
    QCOMPARE(prompts.messages[0].text, QString("The Sample Fields less than 3!"));
    QVERIFY(d.findChild<QLineEdit *>("SampleEdit")->text().isEmpty());

    prompts.files << QStringList{samples};
    d.findChild<QPushButton *>("SampleBtn")->click();
    QCOMPARE(prompts.fileRequests.last().caption, QString("Open File"));
    QCOMPARE(d.findChild<QTextEdit *>("SamplePreview")->toPlainText().split('\n').size(), 6);
    auto *x = d.findChild<QComboBox *>("XCombo");
    QCOMPARE(x->count(), 4);
    QCOMPARE(x->currentIndex(), -1);
    QCOMPARE(d.outputEdit()->text(), dir.filePath("LinearRegression.tif"));
    d.findChild<QComboBox *>("MethodCombo")->setCurrentIndex(1);
    QCOMPARE(d.outputEdit()->text(), dir.filePath("StepRegression.tif"));

    // The checks, in order, each with its text.
    QCOMPARE(pressOk(d, prompts), QStringList{"Please add  LAS File!"});
    d.inputCombo()->setCurrentIndex(0);
    QCOMPARE(pressOk(d, prompts), QStringList{"Dependent Variable Field is empty! Please set!"});
    d.findChild<QComboBox *>("DependentCombo")->setCurrentText("Volume");
    QCOMPARE(pressOk(d, prompts), QStringList{"Length Field is empty! Please set!"});
    d.findChild<QComboBox *>("PlotType")->setCurrentIndex(1);
    QCOMPARE(pressOk(d, prompts), QStringList{"Radius Field is empty! Please set!"});
    d.findChild<QLineEdit *>("SizeEdit")->setText("5");
    QCOMPARE(pressOk(d, prompts), QStringList{"X Field is empty! Please set!"});
    x->setCurrentText("PX");
    d.findChild<QComboBox *>("YCombo")->setCurrentText("PY");
    d.findChild<QSlider *>("horizontalSlider")->setValue(100);
    QCOMPARE(pressOk(d, prompts),
             QStringList{"Hold-out for Testing Value is invalid!\n It must be between 0 and 100.\n Restore to default value."});
    QCOMPARE(d.findChild<QSlider *>("horizontalSlider")->value(), 10);
    for (const char *name : {"Norma_Sta_checkBox", "LAI_checkBox", "GAP_Fraction_checkBox", "Canpoycover_checkBox"})
        d.findChild<QCheckBox *>(name)->setChecked(false);
    QCOMPARE(pressOk(d, prompts), QStringList{"Please select at least one parameter!"});
    QVERIFY(d.isVisible() || d.result() == 0);  // still open

    // The model fields of the other two dialogs are reset when invalid.
    SVMRegression svm;
    QCOMPARE(svm.windowTitle(), QString("Support Vector Regression"));
    svm.findChild<QLineEdit *>("GammaEdit")->setText("2");
    choose(svm, {las});
    prompts.files << QStringList{samples};
    svm.findChild<QPushButton *>("SampleBtn")->click();
    QCOMPARE(svm.outputEdit()->text(), dir.filePath("Support Vector Regression.tif"));
    for (const char *name : {"DependentCombo", "XCombo", "YCombo"})
        svm.findChild<QComboBox *>(name)->setCurrentIndex(1);
    svm.findChild<QLineEdit *>("SizeEdit")->setText("5");
    QCOMPARE(pressOk(svm, prompts),
             QStringList{"Gamma is invalid,It must be set between 0 and 1.\n Restore to default value."});
    QCOMPARE(svm.findChild<QLineEdit *>("GammaEdit")->text(), QString("0.1"));
    svm.findChild<QComboBox *>("PlotType")->setCurrentIndex(1);
    QVERIFY(svm.findChild<QLineEdit *>("SizeEdit")->text().isEmpty());  // cleared with the plot type

    ANNRegression ann;
    QCOMPARE(ann.windowTitle(), QString("Artificial Neural Network Regression"));
    ann.findChild<QLineEdit *>("MomentumEdit")->setText("1.5");
    choose(ann, {las});
    prompts.files << QStringList{samples};
    ann.findChild<QPushButton *>("SampleBtn")->click();
    for (const char *name : {"DependentCombo", "XCombo", "YCombo"})
        ann.findChild<QComboBox *>(name)->setCurrentIndex(1);
    ann.findChild<QLineEdit *>("SizeEdit")->setText("5");
    QCOMPARE(pressOk(ann, prompts),
             QStringList{"The Momentum is invalid!\n It must be set between 0 and 1.\n Restore to default value."});
    QCOMPARE(ann.findChild<QLineEdit *>("MomentumEdit")->text(), QString("0.3"));
}

void TestRegressionDialogs::runThroughTheDialog()
{
    QTemporaryDir dir;
    const QString las = dir.filePath("stand.las"), samples = dir.filePath("plots.txt");
    QVERIFY(writeLas(las, stand(1)));
    QVERIFY(writeText(samples, plotFile()));
    PromptRecorder prompts;
    LinearRegression d;
    choose(d, {las});
    prompts.files << QStringList{samples};
    d.findChild<QPushButton *>("SampleBtn")->click();
    d.findChild<QComboBox *>("DependentCombo")->setCurrentText("Volume");
    d.findChild<QComboBox *>("XCombo")->setCurrentText("PX");
    d.findChild<QComboBox *>("YCombo")->setCurrentText("PY");
    d.findChild<QLineEdit *>("SizeEdit")->setText("10");
    d.findChild<QSlider *>("horizontalSlider")->setValue(30);
    // Cancel at the accuracy question: the report is written, no map, the
    // dialog stays open. Every first return of this stand is canopy, so the
    // cover is 1 in every plot, a column the intercept already holds: least
    // squares falls back to the minimum-norm solution, whose question this is.
    prompts.answers << QMessageBox::Cancel;
    const QStringList first = pressOk(d, prompts);
    QCOMPARE(first.size(), 1);
    QVERIFY2(first[0].startsWith("RSME: ") && first[0].endsWith("\n Do you want to continue predicting?"),
             qPrintable(first[0]));
    QVERIFY(QFile::exists(dir.filePath("LinearRegression.html")));
    QVERIFY(!QFile::exists(dir.filePath("LinearRegression.tif")));
    QVERIFY(d.resultFiles.isEmpty());
    // OK, then Yes to adding the results.
    const QStringList second = pressOk(d, prompts);
    QCOMPARE(second.size(), 2);
    QCOMPARE(second[1], QString("Do you want to add results into the project?"));
    QCOMPARE(d.resultFiles, (QStringList{dir.filePath("LinearRegression.tif"), dir.filePath("LinearRegression.html")}));
    QVERIFY(d.notes().contains("Accuracy Report Path:" + dir.filePath("LinearRegression.html")));
    QVERIFY(d.lastCommandLine().contains("regress --method enter"));
    QVERIFY(d.lastCommandLine().contains("--holdout 30") && d.lastCommandLine().contains("--seed 1"));
}

QTEST_MAIN(TestRegressionDialogs)
#include "test_regressiondialogs.moc"
