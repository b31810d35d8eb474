#pragma once
// The dialogs of the digital model tools.

#include "RasterTools.h"
#include "ToolDialog.h"

class CDEM : public ToolDialog {
    Q_OBJECT
public:
    explicit CDEM(QWidget *parent = nullptr) : ToolDialog(RasterTools::dem(), parent) {}
};

class CDSM : public ToolDialog {
    Q_OBJECT
public:
    explicit CDSM(QWidget *parent = nullptr) : ToolDialog(RasterTools::dsm(), parent) {}
};

class CHM : public ToolDialog {
    Q_OBJECT
public:
    explicit CHM(QWidget *parent = nullptr) : ToolDialog(RasterTools::chm(), parent) {}
};

class HillShade : public ToolDialog {
    Q_OBJECT
public:
    explicit HillShade(QWidget *parent = nullptr) : ToolDialog(RasterTools::hillshade(), parent) {}
};

class LasToRaster : public ToolDialog {
    Q_OBJECT
public:
    explicit LasToRaster(QWidget *parent = nullptr) : ToolDialog(RasterTools::lasToRaster(), parent) {}
};
