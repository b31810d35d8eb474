// The progress objects: percentage cap, stages, cancel, and the terminal bar.

#include "ProcessDlg.h"
#include "ProcessTerminal.h"

#include <QPushButton>
#include <QtTest>

#include <cstdio>

class TestProgress : public QObject {
    Q_OBJECT
private slots:
    void percentageIsTruncatedAndCapped()
    {
        QCOMPARE(CProcessBase::percentage(0.0), 0u);
        QCOMPARE(CProcessBase::percentage(0.259), 25u);
        QCOMPARE(CProcessBase::percentage(0.999), 99u);
        QCOMPARE(CProcessBase::percentage(1.0), 100u);
        QCOMPARE(CProcessBase::percentage(1.5), 100u);
        QCOMPARE(CProcessBase::percentage(-0.2), 100u);  // unsigned wrap, then the cap
        QCOMPARE(CProcessBase::percentage(-0.001), 0u);  // truncates toward zero first
    }

    void dialogStagesAndSteps()
    {
        CProcessDlg dlg;
        QVERIFY(dlg.isModal());
        QCOMPARE(dlg.windowTitle() + "|" + dlg.labelText(), QString("Process|Processing..."));
        QCOMPARE(dlg.findChild<QPushButton *>()->text(), QString("Cancel"));
        dlg.SetStageCount(4);
        dlg.SetStageOffset(0.5);
        dlg.SetStepCount(10);
        for (int i = 0; i < 5; ++i)
            QVERIFY(dlg.StepIt());
        // 5 / 10 / 4 + 0.5 = 0.625
        QCOMPARE(dlg.fraction(), 0.625);
        QCOMPARE(dlg.value(), 62);
        for (int i = 0; i < 200; ++i)
            dlg.StepIt();
        QCOMPARE(dlg.stepIndex(), 205u);
        QCOMPARE(dlg.value(), 100);
        QVERIFY(dlg.SetPosition(0.333));
        QCOMPARE(dlg.value(), 33);
        dlg.SetPosition(-0.5);
        QCOMPARE(dlg.value(), 100);
        dlg.SetMessage("Reading tile 3");
        QCOMPARE(dlg.labelText(), QString("Reading tile 3"));
        dlg.SetMessage(nullptr);
        QCOMPARE(dlg.labelText(), QString("Reading tile 3"));
        QCOMPARE(dlg.message(), std::string("Reading tile 3"));
        dlg.SetStepCount(3);
        QCOMPARE(dlg.stepIndex(), 0u);
        QCOMPARE(dlg.stageCount(), 4);  // stages persist
        dlg.Reset();
        QCOMPARE(dlg.stageCount(), 1);
        QCOMPARE(dlg.stageOffset(), 0.0);
        QCOMPARE(dlg.stepCount(), 100.0);
        QCOMPARE(dlg.fraction(), 0.0);
    }

    void cancelStopsEveryLaterUpdate()
    {
        CProcessDlg dlg;
        dlg.show();
        QVERIFY(dlg.SetPosition(0.1));
        auto *cancel = dlg.findChild<QPushButton *>();
        QVERIFY(cancel);
        QTest::mouseClick(cancel, Qt::LeftButton);
        QVERIFY(!dlg.SetPosition(0.2));
        QVERIFY(!dlg.StepIt());
        QVERIFY(!dlg.SetPosition(0.3));
    }

    void barIgnoresStagesAndNeverCancels()
    {
        CProcessBar bar;
        QCOMPARE(bar.height(), 30);
        bar.SetStageCount(3);
        bar.SetStageOffset(0.66);
        QCOMPARE(bar.stageCount(), 1);
        QCOMPARE(bar.stageOffset(), 0.0);
        bar.SetStepCount(4);
        QVERIFY(bar.StepIt());
        QCOMPARE(bar.value(), 25);
        bar.SetMessage("ignored");
        QVERIFY(bar.message().empty());
        QVERIFY(bar.SetPosition(2.0));
        QCOMPARE(bar.value(), 100);
    }

    // On a terminal a bar redrawn in place when the percentage changes; into
    // a file or pipe one line per 10 %, never a carriage return.
    void terminalBarDrawsOnChangeOnly()
    {
        auto run = [](bool interactive) -> QString {
            char buffer[4096] = {};
            FILE *out = fmemopen(buffer, sizeof buffer - 1, "w");
            {
                CProcessTerminal bar(out, 10);
                if (bar.interactive())  // a memory stream is no terminal
                    return "interactive";
                bar.setInteractive(interactive);
                bar.SetMessage("Tiling");
                bar.SetStageCount(2);
                bar.SetStageOffset(0.5);
                bar.SetStepCount(2);
                bar.StepIt();          // 1/2/2 + 0.5 = 0.75
                bar.SetPosition(0.75);  // same percentage: no redraw
                bar.SetPosition(0.79);  // same tenth
                bar.SetPosition(1.0);
            }
            std::fclose(out);
            return QString::fromLatin1(buffer);
        };
        QCOMPARE(run(true), QString("\rTiling [#######...]  75%\rTiling [#######...]  79%\rTiling [##########] 100%\n"));
        QCOMPARE(run(false), QString("Tiling 70%\nTiling 100%\n"));
        // A thousand small steps write ten lines at most.
        char buffer[8192] = {};
        FILE *out = fmemopen(buffer, sizeof buffer - 1, "w");
        {
            CProcessTerminal bar(out);
            bar.SetMessage("DEM");
            bar.SetStepCount(1000);
            for (int i = 0; i < 1000; ++i)
                bar.StepIt();
        }
        std::fclose(out);
        const QString text = QString::fromLatin1(buffer);
        QCOMPARE(text.count('\n'), 10);
        QVERIFY(!text.contains('\r'));
    }
};

QTEST_MAIN(TestProgress)
#include "test_progress.moc"
