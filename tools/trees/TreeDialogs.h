#pragma once
// The dialogs of the individual tree tools.

#include "ToolDialog.h"
#include "TreeTools.h"

class CHMSegment : public ToolDialog {
    Q_OBJECT
public:
    explicit CHMSegment(QWidget *parent = nullptr) : ToolDialog(TreeTools::chmSegment(), parent) {}
};

class PointCloudSegment : public ToolDialog {
    Q_OBJECT
public:
    explicit PointCloudSegment(QWidget *parent = nullptr) : ToolDialog(TreeTools::pointCloudSegment(), parent) {}
};
