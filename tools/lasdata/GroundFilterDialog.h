#pragma once
// The "Filtering" dialog: the shared tool dialog with the ground filter.

#include "GroundFilterTool.h"
#include "ToolDialog.h"

class LasFilter : public ToolDialog {
    Q_OBJECT
public:
    explicit LasFilter(QWidget *parent = nullptr) : ToolDialog(GroundFilterTool::ground(), parent) {}
};
