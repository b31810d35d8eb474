#pragma once
// Progress on standard error for the command-line front end. On a terminal
// it is a text bar redrawn in place whenever the percentage changes; when
// the stream is redirected (scripts, CI logs) it writes one plain line per
// 10 % instead, so a log gets no carriage returns. It honours stages like
// the dialog and never cancels.

#include "ProcessBase.h"

#include <cstdio>

class CProcessTerminal : public CProcessBase {
public:
    explicit CProcessTerminal(FILE *out = stderr, int width = 40);
    // Whether the stream is a terminal (decided once, at construction).
    bool interactive() const { return interactive_; }
    void setInteractive(bool on) { interactive_ = on; }
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
    bool interactive_ = false;
    int lastTenth_ = 0;  // redirected output: the last 10 % step written
};
