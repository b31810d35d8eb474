#pragma once
// Running any tool on a dataset rather than on single files: a catalogue
// (.vpc) of LAS files that stands for one seamless dataset, and a window of
// it (--window xmin,ymin,xmax,ymax).
//
// The run reads the window plus the tool's buffer (TileRule) from every
// file of the dataset (through their spatial indexes, or streaming through
// the files the region covers for the most part), under a header whose
// bounds are moved out to the dataset's grid lines (the tool's cell size,
// or its fixed blocks) so that the tool grids the window exactly as it
// grids the whole dataset. A tool that takes points in memory
// (TileRule::readsPoints) gets them so, keeping only those it uses; any
// other gets them as one working LAS file (LAZ when its output is) and runs
// on it as on any LAS input. Its outputs are then cut to what belongs to
// the window:
//  - LAS: the points inside the window;
//  - rasters: the cells whose centres lie inside the window;
//  - tables: the rows whose first two columns (X, Y: a cell centre or a
//    tree's apex) lie inside the window.
// "Inside" is half-open, [xmin, xmax) x [ymin, ymax), and a side of the
// window on or beyond the dataset's bounds is open, so that windows tiling
// the dataset share every point, cell and row out exactly once.
//
// Tools whose inputs are rasters (CHM, hillshade) get their rasters cut to
// the window and buffer instead, on the rasters' own grid.

#include "ToolDeclaration.h"

#include <cstdint>

namespace CatalogRun {

struct Window {
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool set = false;
};

// "xmin,ymin,xmax,ymax"; false with `error` when it is not four numbers
// with min < max.
bool parseWindow(const QString &text, Window &window, QString &error);
QString windowText(const Window &window);

// Whether a request runs through the dataset path: a catalogue among its
// inputs, or a window.
bool applies(const Tool &tool, const ToolRequest &request, const Window &window);

// What stands against a dataset run (empty when nothing): several inputs
// with a catalogue or a window.
QString checkInputs(const Tool &tool, const ToolRequest &request, const Window &window);

// Runs the tool on the dataset (the window, or all of it) and writes
// `outputs`. A window that holds no point of the dataset writes empty
// outputs with a note and completes.
ToolOutcome run(const Tool &tool, const ToolRequest &request, const QStringList &outputs, CProcessBase *progress,
                const Window &window);

// The one way every front end runs a tool: through the dataset path when
// it applies, else the tool's own run on its files.
ToolOutcome dispatch(const Tool &tool, const ToolRequest &request, const QStringList &outputs,
                     CProcessBase *progress, const Window &window = Window());

// Whether (x, y) belongs to the window, given the dataset's bounds (see
// above).
bool owns(const Window &window, const Window &dataset, double x, double y);

// A tree's identifier that does not depend on the tile it was found in:
// its apex position on a 1 cm grid, interleaved into 64 bits (unique for
// apexes more than 1 cm apart within 2^31 cm, about 21,000 km, of the
// origin). Segmentation tools number their trees with it, so that tile
// outputs assembled into one table never repeat an identifier.
uint64_t apexId(double x, double y);

}  // namespace CatalogRun
