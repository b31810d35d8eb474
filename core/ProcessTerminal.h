#pragma once
// A text progress bar on standard error for the command-line front end.
// It honours stages like the dialog, redraws only when the percentage
// changes, and never cancels.

#include "ProcessBase.h"

#include <cstdio>

class CProcessTerminal : public CProcessBase {
public:
    explicit CProcessTerminal(FILE *out = stderr, int width = 40);
    ~CProcessTerminal() override;

    void SetMessage(const char *text) override;
    bool SetPosition(double fraction) override;
    bool StepIt() override;
    void SetStageCount(int32_t n) override;
    void SetStageOffset(double offset) override;

    // Ends the bar's line (called by the destructor as well).
    void finish();

private:
    void draw(double fraction);

    FILE *out_;
    int width_;
    int lastShown_ = -1;
    bool lineOpen_ = false;
};
