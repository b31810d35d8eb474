#pragma once
// The dialogs of the LAS data-management tools: each is the shared tool
// dialog with the tool's declaration.

#include "LasDataTools.h"
#include "ToolDialog.h"

class Merge : public ToolDialog {
    Q_OBJECT
public:
    explicit Merge(QWidget *parent = nullptr) : ToolDialog(LasDataTools::merge(), parent) {}
};

class LasTile : public ToolDialog {
    Q_OBJECT
public:
    explicit LasTile(QWidget *parent = nullptr) : ToolDialog(LasDataTools::tile(), parent) {}
};

class LasNormalization : public ToolDialog {
    Q_OBJECT
public:
    explicit LasNormalization(QWidget *parent = nullptr) : ToolDialog(LasDataTools::normalize(), parent) {}
};
