#pragma once
// Progress reporting and cancellation for every long-running operation.
// Libraries receive a CProcessBase* and report through it only; they never
// print or pop up anything themselves.

#include <cstdint>
#include <string>

class CProcessBase {
public:
    CProcessBase() = default;
    virtual ~CProcessBase() = default;

    virtual void SetMessage(const char *text) = 0;
    virtual bool SetPosition(double fraction) = 0;
    virtual bool StepIt() = 0;
    virtual void SetStageCount(int32_t n) = 0;
    virtual void SetStageOffset(double offset) = 0;
    virtual void SetStepCount(int32_t n);

    // Puts the state back to its initial values.
    void Reset();

    // f x 100 truncated toward zero, taken as unsigned 32-bit, capped at 100
    // (so a negative fraction shows 100 as well).
    static uint32_t percentage(double fraction);

    const std::string &message() const { return message_; }
    double fraction() const { return fraction_; }
    double stepCount() const { return stepCount_; }
    uint32_t stepIndex() const { return stepIndex_; }
    int32_t stageCount() const { return stageCount_; }
    double stageOffset() const { return stageOffset_; }

protected:
    // stepIndex += 1 and the overall fraction of the run that gives.
    double advanceStep();

    std::string message_;
    double fraction_ = 0.0;
    double stepCount_ = 100.0;
    uint32_t stepIndex_ = 0;
    int32_t stageCount_ = 1;
    double stageOffset_ = 0.0;
};

// A progress object that shows nothing and never cancels; for callers that
// need none (tests, internal helpers).
class CProcessNull : public CProcessBase {
public:
    void SetMessage(const char *text) override;
    bool SetPosition(double fraction) override;
    bool StepIt() override;
    void SetStageCount(int32_t n) override;
    void SetStageOffset(double offset) override;
};
