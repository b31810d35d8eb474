#include "ProcessBase.h"

#include <cmath>

void CProcessBase::SetStepCount(int32_t n)
{
    stepCount_ = static_cast<double>(n);
    stepIndex_ = 0;
}

void CProcessBase::Reset()
{
    fraction_ = 0.0;
    stepCount_ = 100.0;
    stepIndex_ = 0;
    stageCount_ = 1;
    stageOffset_ = 0.0;
}

uint32_t CProcessBase::percentage(double fraction)
{
    const double scaled = std::trunc(fraction * 100.0);
    uint32_t p;
    if (!(scaled >= 0.0) || scaled >= 4294967296.0)
        p = 100;  // a negative or huge value wraps to a large unsigned number
    else
        p = static_cast<uint32_t>(scaled);
    return p > 100 ? 100 : p;
}

double CProcessBase::advanceStep()
{
    ++stepIndex_;
    fraction_ = stepIndex_ / stepCount_ / stageCount_ + stageOffset_;
    return fraction_;
}

void CProcessNull::SetMessage(const char *text)
{
    if (text)
        message_ = text;
}
bool CProcessNull::SetPosition(double fraction)
{
    fraction_ = fraction;
    return true;
}
bool CProcessNull::StepIt()
{
    advanceStep();
    return true;
}
void CProcessNull::SetStageCount(int32_t n) { stageCount_ = n; }
void CProcessNull::SetStageOffset(double offset) { stageOffset_ = offset; }
