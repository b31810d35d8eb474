#pragma once
// The dialogs of clipping, extraction, conversion and the boundary: each is
// the shared tool dialog with the tool's declaration.

#include "ClipTools.h"
#include "ConvertTools.h"
#include "ExtractTools.h"
#include "ToolDialog.h"

class ClipByCircleDlg : public ToolDialog {
    Q_OBJECT
public:
    explicit ClipByCircleDlg(QWidget *parent = nullptr) : ToolDialog(ClipTools::circle(), parent) {}
};

class ClipByRectangleDlg : public ToolDialog {
    Q_OBJECT
public:
    explicit ClipByRectangleDlg(QWidget *parent = nullptr) : ToolDialog(ClipTools::rectangle(), parent) {}
};

class ClipByPolygon : public ToolDialog {
    Q_OBJECT
public:
    explicit ClipByPolygon(QWidget *parent = nullptr) : ToolDialog(ClipTools::polygon(), parent) {}
};

class ExtractByClass : public ToolDialog {
    Q_OBJECT
public:
    explicit ExtractByClass(QWidget *parent = nullptr) : ToolDialog(ExtractTools::byClass(), parent) {}
};

class ExtractByElevation : public ToolDialog {
    Q_OBJECT
public:
    explicit ExtractByElevation(QWidget *parent = nullptr) : ToolDialog(ExtractTools::byElevation(), parent) {}
};

class ExtractByIntensity : public ToolDialog {
    Q_OBJECT
public:
    explicit ExtractByIntensity(QWidget *parent = nullptr) : ToolDialog(ExtractTools::byIntensity(), parent) {}
};

class ExtractByReturn : public ToolDialog {
    Q_OBJECT
public:
    explicit ExtractByReturn(QWidget *parent = nullptr) : ToolDialog(ExtractTools::byReturn(), parent) {}
};

class Format_Convert : public ToolDialog {
    Q_OBJECT
public:
    explicit Format_Convert(QWidget *parent = nullptr) : ToolDialog(ConvertTools::lasToAscii(), parent) {}
};

class LasToVector : public ToolDialog {
    Q_OBJECT
public:
    explicit LasToVector(QWidget *parent = nullptr) : ToolDialog(ConvertTools::lasToVector(), parent) {}
};

class Boundary : public ToolDialog {
    Q_OBJECT
public:
    explicit Boundary(QWidget *parent = nullptr) : ToolDialog(ConvertTools::boundary(), parent) {}
};
