#pragma once
// Wall-to-wall runs through a workflow engine: `plan` cuts a dataset into
// tiles and writes a Snakemake workflow (W/Snakefile) with one job per tile
// and step, each running verdanta-cli TOOL ... --window on the dataset, and
// one job per step that assembles the tiles' outputs into the step's final
// output. Snakemake runs the file here or, through its profiles, on a
// cluster or a cloud batch service; it redoes only jobs whose outputs are
// missing. `assemble` is that last job's command.

#include "ToolDeclaration.h"

#include <QList>

namespace Workflow {

// One step: a tool and its command-line arguments (options, the input,
// -o FINAL), as `verdanta-cli TOOL` takes them.
struct Step {
    const Tool *tool = nullptr;
    QStringList args;
};

struct PlanRequest {
    QString workdir;
    double tileSize = 0;     // metres (0: plan's choice, see Workflow.cpp); shrunk when a job would not fit the memory
    double memory = 0;       // bytes for all workers together; 0: the machine's
    int cores = 0;           // 0: the machine's
    QString program;         // verdanta-cli, as the jobs call it
    QList<Step> steps;
};

// What plan decided, for the user: tiles, workers and the command to run.
struct Plan {
    QString snakefile;
    int tiles = 0;
    double tileSize = 0;
    int workers = 0;
    QStringList lines;  // the summary printed by the command
};

// Writes the workflow; false with `error` naming what is wrong.
bool writePlan(const PlanRequest &request, Plan &plan, QString &error);

// Assembles tile outputs into one output, by its extension: ".vrt" a GDAL
// virtual mosaic, ".tif" a Cloud-Optimised GeoTIFF, ".vpc" a catalogue of
// the LAS tiles that hold points, ".las" one LAS file, ".csv" one table
// (the header once, rows ordered by X, then Y). Empty tile outputs (no
// point in the window) are left out.
bool assemble(const QStringList &parts, const QString &output, QString &error);

// Parses "8G", "512M", "2.5GB" or a number of bytes; 0 when unreadable.
double parseBytes(const QString &text);

}  // namespace Workflow
