#pragma once
// The metrics tools expect heights above ground. A file whose highest point
// lies above 200 holds elevations more likely than heights, so the run asks
// before using it (the dialog with a Yes/No box, the command line through
// --yes); No ends the run, and the outputs of earlier inputs stay complete.

#include "ToolDeclaration.h"

inline bool confirmNormalised(const ToolRequest &r, const QString &input, double maxZ)
{
    if (!(maxZ > 200))
        return true;
    const QString question = QString("<p align='center'>%1<br>%2<br>%3</p>")
                                 .arg(input.toHtmlEscaped(), "Z Value is more than 200",
                                      "please confirm whether the data is normalized?");
    return !r.ask || r.ask(question);
}
