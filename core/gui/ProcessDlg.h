#pragma once
// The modal progress dialog that every tool run reports through.

#include "ProcessBase.h"

#include <QProgressDialog>

class CProcessDlg : public QProgressDialog, public CProcessBase {
    Q_OBJECT
public:
    explicit CProcessDlg(QWidget *parent = nullptr);

    void SetMessage(const char *text) override;
    bool SetPosition(double fraction) override;
    bool StepIt() override;
    void SetStageCount(int32_t n) override;
    void SetStageOffset(double offset) override;

public slots:
    void updateProgress(int value);
};

// The progress bar placed in the main window's status bar while a LAS file
// loads for display. It shows progress only and cannot cancel.
#include <QProgressBar>

class CProcessBar : public QProgressBar, public CProcessBase {
    Q_OBJECT
public:
    explicit CProcessBar(QWidget *parent = nullptr);

    void SetMessage(const char *text) override;
    bool SetPosition(double fraction) override;
    bool StepIt() override;
    void SetStageCount(int32_t n) override;
    void SetStageOffset(double offset) override;
};
