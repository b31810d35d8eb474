#pragma once
// The outlier removal dialog: the shared tool dialog with the tool's
// declaration (inputs and output only).

#include "OutlierTool.h"
#include "ToolDialog.h"

class ExcludingTheErrorPoints : public ToolDialog {
    Q_OBJECT
public:
    explicit ExcludingTheErrorPoints(QWidget *parent = nullptr) : ToolDialog(OutlierTool::outliers(), parent) {}
};
