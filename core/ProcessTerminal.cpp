#include "ProcessTerminal.h"

#include <string>

#ifdef _WIN32
#include <io.h>
#define VERDANTA_ISATTY(f) _isatty(_fileno(f))
#else
#include <unistd.h>
#define VERDANTA_ISATTY(f) isatty(fileno(f))
#endif

CProcessTerminal::CProcessTerminal(FILE *out, int width)
    : out_(out), width_(width), interactive_(out && VERDANTA_ISATTY(out))
{
}

CProcessTerminal::~CProcessTerminal() { finish(); }

void CProcessTerminal::SetMessage(const char *text)
{
    if (!text)
        return;
    message_ = text;
    lastShown_ = -1;  // redraw with the new label
}

bool CProcessTerminal::SetPosition(double fraction)
{
    fraction_ = fraction;
    draw(fraction);
    return true;
}

bool CProcessTerminal::StepIt()
{
    draw(advanceStep());
    return true;
}

void CProcessTerminal::SetStageCount(int32_t n) { stageCount_ = n; }
void CProcessTerminal::SetStageOffset(double offset) { stageOffset_ = offset; }

void CProcessTerminal::draw(double fraction)
{
    const int p = static_cast<int>(percentage(fraction));
    if (p == lastShown_ || !out_)
        return;
    lastShown_ = p;
    if (!interactive_) {
        const int tenth = p / 10;
        if (tenth <= lastTenth_)
            return;
        lastTenth_ = tenth;
        std::fprintf(out_, "%s %d%%\n", message_.c_str(), tenth * 10);
        std::fflush(out_);
        return;
    }
    const int filled = p * width_ / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(width_ - filled), '.');
    std::fprintf(out_, "\r%s [%s] %3d%%", message_.c_str(), bar.c_str(), p);
    std::fflush(out_);
    lineOpen_ = true;
}

void CProcessTerminal::finish()
{
    if (lineOpen_ && out_) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    lineOpen_ = false;
}
