#pragma once
// A tool's declaration, shared by its dialog and by verdanta-cli: its title,
// inputs, parameters (names, defaults, limits, messages), output naming and
// the order of its checks, plus the run itself. Free of widgets.

#include "PointRecords.h"
#include "ProcessBase.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

struct ParamSpec {
    enum Kind { Number, Text, File, Choice, Flag, Raster, List, Set };
    // A field by its option, dialog label, default text and widget name
    // (empty: "lineEdit_" + option); the rest is set by the declaration.
    static ParamSpec field(const QString &option, const QString &label, const QString &def,
                           const QString &widget = QString(), Kind kind = Number);

    QString option;         // the CLI option without "--", e.g. "width"
    QString label;          // the dialog's label, e.g. "Width(m)"
    QString defaultValue;   // shown at first, and restored after an invalid value
    Kind kind = Number;
    QString emptyMessage;   // the check of a missing value
    QString invalidMessage; // the check of a value not greater than 0 (numbers)
    bool allowZero = false; // numbers: 0 passes, only negative values are invalid
    QString resetValue;     // what an invalid number becomes (default: defaultValue)
    double rangeMin = 0, rangeMax = -1;  // numbers: a warning outside it, not enforced
    QString rangeMessage;
    // Numbers: when limitMin <= limitMax, a value outside them is invalid
    // (invalidMessage, then reset) instead of a value not greater than 0;
    // the dialog's validator takes the limits and `decimals` (-1: any).
    double limitMin = 0, limitMax = -1;
    bool limitMinOpen = false;  // the lower limit itself is invalid: (min, max]
    int decimals = -1;
    // Only on the command line: the dialog shows no field and leaves the
    // value empty.
    bool cliOnly = false;
    // Shown by the tool's own dialog, which creates a widget of the
    // parameter's widget name; the shared form adds none.
    bool ownWidget = false;
    QStringList items;      // choices, as the dialog shows them
    QString widgetName;     // the dialog widget's object name (default "lineEdit_" + option)
    QString hiddenWhenOption, hiddenWhenValue;  // hidden while another parameter has that value
    QString fileCaption;    // file parameters: the dialog title and filter
    QString fileFilter;
    // Choices and sets: the names the command line uses, parallel to items
    // (default: the items themselves).
    QStringList cliItems;
    // Lists: entries, repeatable on the command line ("--circle 1,2,3
    // --circle 4,5,6") and held as one text, entries separated by ';'.
    // With `items`, an entry is chosen from a combo box and `itemValues`
    // gives its value (an entry is listed once); with `listFields`, an entry
    // is typed as those numbers, in that order, checked by `entryCheck`
    // (a message when invalid). `listFileOption` names the command-line
    // option that imports entries from a text file, one comma-separated
    // entry a line, which the dialog offers as an import button with
    // fileCaption and fileFilter; a bad line gives `listFormatMessage`.
    // Sets: checkboxes for `items`, the value being `valuePrefix` followed
    // by the `itemValues` of the checked ones.
    QStringList itemValues;
    QStringList listFields;
    std::function<QString(const QVector<double> &)> entryCheck;
    QString listFileOption;
    QString listFormatMessage = "File format error!";
    QString valuePrefix;
    QString valueName;      // the --help placeholder of the value (default VALUE)
};

enum class OutputKind {
    File,          // one output file, whatever the number of inputs
    Folder,        // a folder that receives the outputs
    FilePerInput,  // one input: a file; several: a folder with one file each
};

// How a tool runs on one window of a larger dataset (--window, and the tile
// jobs of `plan`): the points it needs around the window so that what it
// writes inside the window is what a run over the whole dataset writes
// there. Buffer = `buffer` metres + `bufferFactor` x the value of
// `bufferOption`, at most `bufferCap` metres (when >= 0), + `bufferCells`
// cells of the product's grid.
struct TileRule {
    double buffer = 0;
    QString bufferOption;
    double bufferFactor = 0;
    double bufferCap = -1;
    int bufferCells = 0;
    // Products on a grid (rasters, per-cell tables): the parameters giving
    // its cell size, so that a window's grid lines up with the dataset's.
    QString cellOption, cellOptionY;
    // An algorithm that works in fixed blocks of this size (m) from the
    // dataset's corner; windows line up with those blocks as well.
    double blockSize = 0;
    // ... or in blocks of this many cells of its grid.
    int blockCells = 0;
    // Peak memory of a run per point read (window and buffer), for sizing
    // tiles and workers.
    double bytesPerPoint = 120;
    // The tool takes the window's points from ToolRequest::points when they
    // are given, so a window run reads them straight from the dataset's
    // files into memory instead of copying them into a working LAS file.
    bool readsPoints = false;
    // The points such a tool uses (empty: all); the others are not kept.
    std::function<bool(const VerdantaIO::PointCloud &)> keeps;
    // What the tool writes for a point depends on that point alone (clips,
    // extractions, conversions): a window's run reads only the points the
    // window owns, without a buffer, and keeps its outputs whole, whatever
    // their form (text, shapefiles).
    bool perPoint = false;
    // Why the tool cannot run window by window (empty: it can): --window
    // and `plan` refuse it with this reason rather than write outputs with
    // seams.
    QString untileable;

    // The buffer in metres for a request's values; `cell` is the grid's cell
    // size (0 when the product has none).
    double bufferFor(const QMap<QString, QString> &values, double cell) const;
    // The rule in words, e.g. "300 x XSize, at most 25 m, + 1 cell".
    QString describe() const;
};

// The points of a dataset's window read into memory: a header that stands
// for their file (the window's bounds on the dataset's grid, the first
// file's format, scales and spatial reference) and the points.
struct WindowPoints {
    VerdantaIO::PointHeader header;
    std::vector<VerdantaIO::PointCloud> points;
};

struct ToolSpec {
    QString name;     // the CLI subcommand
    QString title;    // the dialog's title and the message boxes' title
    QString summary;  // one line for the CLI's list of tools
    QString action;   // the main window's action that opens the dialog, e.g. "actionDEM"
    QString menu;     // where that action sits, e.g. "Models > Generating Digital Models"
    QString help;     // the dialog's help page (HTML)
    QString inputFilter = "LAS File(*.las *.laz *.vpc)";  // a catalogue (.vpc) stands for its LAS files
    QString suffix;            // default output name: base name + suffix
    QString extension = ".las";
    OutputKind output = OutputKind::File;
    QVector<ParamSpec> params;
    // The order in which the parameters are checked, when it differs from
    // the order the dialog shows them in (options; default: `params`).
    QStringList checkOrder;
    QString noInputMessage = "Please add LAS File!";
    QString outputEmptyMessage = "Output Path is empty! Please set!";
    QString folderMissingMessage = "Please reset the output file!";  // empty: no such check
    QString invalidPathMessage = "Output Path is invalid! Please reset!";
    bool lasInputs = true;      // false: the tool's inputs are its raster parameters
    QString positionalParam;    // the CLI's positional argument fills this parameter
    TileRule tiles;             // running on one window of a catalogue

    const ParamSpec *param(const QString &option) const;
};

// What a user asked for: inputs, parameter texts by option, the output text.
struct ToolRequest {
    QStringList inputs;
    QMap<QString, QString> values;
    QString output;
    // A window of a dataset in memory (see TileRule::readsPoints): it
    // stands for the one input, whose name the messages keep.
    std::shared_ptr<const WindowPoints> points;
    // A Yes/No question the run raises itself while it works (about one
    // input, say); true goes on. The dialog asks it, the command line answers
    // it with --yes. A run without it takes every answer as yes.
    std::function<bool(const QString &question)> ask;
    // A question whose No ends the run quietly without being a refusal
    // (go on from a result to the next step?). The dialog asks it; the
    // command line does not, and goes on.
    std::function<bool(const QString &question)> proceed;
};

// The first failed check, if any.
struct CheckResult {
    bool ok = true;
    QString message;
    QString resetOption;  // a parameter set back to its default (several: separated by commas)
    bool setOutput = false;  // the output text becomes `output` (cleared when empty)
    QString output;
    QString detail;  // what failed, for the command line: a path or value
};

// The outcome of a run: the files written, the warnings to show (in order),
// and whether the run completed (else it ended without adding results).
struct ToolOutcome {
    QStringList results;
    QStringList warnings;  // message boxes in the dialog, standard error on the command line
    QStringList details;   // parallel to warnings: the path or value a warning is about
    // Remarks that do not stop the run, such as a damaged input read in
    // part: the Output dock and the command line's standard error.
    QStringList notes;
    // Results the command line prints on standard output (figures of the run).
    QStringList output;
    // Files written beside the results that are not offered to the project
    // (a windowed run cuts them to the window as it does the results).
    QStringList besides;
    bool completed = false;

    void warn(const QString &text, const QString &detail = QString())
    {
        warnings << text;
        while (details.size() < warnings.size() - 1)
            details << QString();
        details << detail;
    }
};

using ToolRunner = std::function<ToolOutcome(const ToolRequest &, const QStringList &outputs, CProcessBase *)>;

struct Tool {
    ToolSpec spec;
    ToolRunner run;
    // Optional: a tool with its own order of checks and output rules.
    std::function<CheckResult(const ToolSpec &, ToolRequest &)> check;
    std::function<QStringList(const ToolSpec &, const ToolRequest &)> outputs;
    std::function<QString(const ToolSpec &, const ToolRequest &)> defaultOutput;
    // Optional: true when the output button asks for a folder.
    std::function<bool(const ToolSpec &, const ToolRequest &)> outputIsFolder;
    QString outputFilter = "LAS File(*.las *.laz)";
    QString outputCaption = "Output Path";
    bool clearOutputOnDelete = false;
    // Optional: a Yes/No question before the run; No ends it.
    QString confirmation;
    // Optional: an information box after a completed run, before the
    // add-results question (e.g. "Finished!").
    QString finishedMessage;
    // Optional: true when the run joins its inputs into one output; inputs
    // under different coordinate systems are then questioned first.
    std::function<bool(const ToolRequest &)> combinesInputs;
};

namespace ToolChecks {

// The default output for a set of inputs: the folder of the last input and
// its base name (up to the first dot) + the tool's suffix; empty for none.
QString defaultOutput(const ToolSpec &spec, const QStringList &inputs);

// Joins a folder and a file name without doubling the separator of a root.
QString joinPath(const QString &folder, const QString &name);

// An absolute path of the host platform: a drive path on Windows, "/..." elsewhere.
bool isAbsolutePlatformPath(const QString &path);

// The range warnings of a request's numbers (shown, never enforced).
QStringList rangeWarnings(const ToolSpec &spec, const ToolRequest &request);

// The first checks of every tool: an input, then each parameter in order
// (empty, then invalid; an invalid number is set back to its default).
CheckResult validateParams(const ToolSpec &spec, ToolRequest &request);

// Validates a request in the tool's order of checks. An invalid number is
// set back to its default in the request.
CheckResult validate(const ToolSpec &spec, ToolRequest &request);

// The output files of a validated request.
QStringList resolveOutputs(const ToolSpec &spec, const ToolRequest &request);

// The message when an output would replace one of the run's inputs.
CheckResult refuseOverwrite(const ToolSpec &spec, const ToolRequest &request, const QStringList &outputs);

// Everything before a run: the checks (the tool's own or the standard
// ones), the output files, and the refusal to overwrite an input. On
// success `outputs` holds the files the run writes.
CheckResult prepare(const Tool &tool, ToolRequest &request, QStringList &outputs);

// The questions a request raises before it runs, in order: inputs under
// different coordinate systems joined into one output, then the tool's own
// confirmation. The dialog asks them; the command line needs --yes.
QStringList questions(const Tool &tool, const ToolRequest &request);

// A word for a POSIX shell: as it is when it holds no special character,
// else in single quotes.
QString shellQuote(const QString &s);

// The equivalent verdanta-cli command line; `answeredYes` adds the --yes
// that the user's answers to the tool's questions stood for.
QString commandLine(const ToolSpec &spec, const ToolRequest &request, bool answeredYes = false);

// The text of `verdanta-cli TOOL --help`.
QString usage(const Tool &tool);

// The entries of a list parameter's value.
QStringList listEntries(const QString &value);
// The numbers of one list entry; false unless it holds exactly `count`
// comma-separated numbers.
bool entryNumbers(const QString &entry, int count, QVector<double> &numbers);
// Reads the entries of a list file: each line split at ',' (empty parts
// kept) must hold exactly `count` numbers. Reading stops at the first line
// that does not, which `badLine` receives (1-based; 0 when every line was
// read, -1 when the file cannot be opened); the entries before it stay.
QStringList readListFile(const QString &path, int count, int &badLine);

// A message for the command line: the dialog's text on one line, without
// the dialog-only advice ("Restore to default value."), and the detail.
QString cliMessage(const QString &message, const QString &detail = QString());

}  // namespace ToolChecks
