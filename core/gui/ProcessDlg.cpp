#include "ProcessDlg.h"

#include <QCoreApplication>

CProcessDlg::CProcessDlg(QWidget *parent) : QProgressDialog(parent)
{
    setModal(true);
    setFixedSize(300, 150);
    setLabelText(tr("Processing..."));
    setAutoClose(false);
    setAutoReset(false);
    setCancelButtonText(tr("Cancel"));
    setWindowTitle(tr("Process"));
}

void CProcessDlg::SetMessage(const char *text)
{
    if (!text)
        return;
    message_ = text;
    setLabelText(QString::fromLatin1(text));
}

bool CProcessDlg::SetPosition(double fraction)
{
    fraction_ = fraction;
    updateProgress(static_cast<int>(percentage(fraction)));
    return !wasCanceled();
}

bool CProcessDlg::StepIt()
{
    updateProgress(static_cast<int>(percentage(advanceStep())));
    return !wasCanceled();
}

void CProcessDlg::SetStageCount(int32_t n) { stageCount_ = n; }
void CProcessDlg::SetStageOffset(double offset) { stageOffset_ = offset; }

void CProcessDlg::updateProgress(int value)
{
    setValue(value);
    QCoreApplication::processEvents();
}

CProcessBar::CProcessBar(QWidget *parent) : QProgressBar(parent)
{
    setFixedHeight(30);
}

void CProcessBar::SetMessage(const char *) {}

bool CProcessBar::SetPosition(double fraction)
{
    fraction_ = fraction;
    setValue(static_cast<int>(percentage(fraction)));
    QCoreApplication::processEvents();
    return true;
}

bool CProcessBar::StepIt()
{
    setValue(static_cast<int>(percentage(advanceStep())));
    QCoreApplication::processEvents();
    return true;
}

void CProcessBar::SetStageCount(int32_t) {}
void CProcessBar::SetStageOffset(double) {}
