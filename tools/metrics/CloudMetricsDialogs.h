#pragma once
// The dialogs of the elevation and intensity metrics tools.

#include "CloudMetricsTools.h"
#include "ToolDialog.h"

class DensityMetrics : public ToolDialog {
    Q_OBJECT
public:
    explicit DensityMetrics(QWidget *parent = nullptr) : ToolDialog(CloudMetricsTools::elevationMetrics(), parent) {}
};

class Percentiles : public ToolDialog {
    Q_OBJECT
public:
    explicit Percentiles(QWidget *parent = nullptr) : ToolDialog(CloudMetricsTools::intensityMetrics(), parent) {}
};
