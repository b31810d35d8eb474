#pragma once
// The dialogs of the canopy tools.

#include "CanopyTools.h"
#include "ToolDialog.h"

class CanpoyCover : public ToolDialog {
    Q_OBJECT
public:
    explicit CanpoyCover(QWidget *parent = nullptr) : ToolDialog(CanopyTools::cover(), parent) {}
};

class GAP : public ToolDialog {
    Q_OBJECT
public:
    explicit GAP(QWidget *parent = nullptr) : ToolDialog(CanopyTools::gap(), parent) {}
};

class LAI : public ToolDialog {
    Q_OBJECT
public:
    explicit LAI(QWidget *parent = nullptr) : ToolDialog(CanopyTools::lai(), parent) {}
};
