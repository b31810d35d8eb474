// verdanta-cli: batch processing on the same libraries as the desktop
// application. Shape of every subcommand:
//   verdanta-cli TOOL [OPTIONS] INPUT... -o OUTPUT
// Exit status 0 on success, 1 with the message on standard error otherwise.

#include "Catalog.h"
#include "CatalogRun.h"
#include "FileProperties.h"
#include "ProcessTerminal.h"
#include "ToolRegistry.h"
#include "Workflow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <new>

namespace {

struct Command {
    std::string name;
    std::string summary;
    std::string usage;
    std::function<int(const QStringList &)> run;
};

void printErr(const QString &text) { std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData()); }
void printOut(const QString &text) { std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData()); }

int info(const QStringList &args)
{
    QStringList files;
    for (const QString &a : args) {
        if (a == "--yes")
            continue;  // accepted by every subcommand; info asks nothing
        if (a.startsWith("--")) {
            printErr("Unknown option " + a);
            return 1;
        }
        files << a;
    }
    if (files.isEmpty()) {
        printErr("info needs at least one file");
        return 1;
    }
    int status = 0;
    for (int i = 0; i < files.size(); ++i) {
        FileProperties::Rows rows;
        QString error;
        if (!FileProperties::describe(files[i], rows, &error)) {
            printErr("Could not open the specified file! " + files[i] +
                     (error.isEmpty() ? QString() : " (" + error + ")"));
            status = 1;
            continue;
        }
        if (i > 0)
            printOut(QString());
        for (const auto &row : rows) {
            if (row.first == "Warning")
                printErr(files[i] + ": " + row.second);  // damage read around
            else
                printOut(row.first + ": " + row.second);
        }
    }
    return status;
}

// Paths typed on the command line are relative to the current folder; the
// checks that the dialog applies to absolute paths then see what was meant.
QString absolute(const QString &path)
{
    if (path.isEmpty())
        return path;
    const bool folderForm = path.endsWith('/') || path.endsWith('\\');
    QString full = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    if (folderForm && !full.endsWith('/'))
        full += '/';
    return full;
}

// A question written for a message box ("<p>a<br>b</p>") as lines of text.
QString plainText(const QString &html)
{
    if (!html.startsWith('<'))
        return html;
    QString text = html;
    text.replace(QRegularExpression("<br\\s*/?>", QRegularExpression::CaseInsensitiveOption), "\n");
    text.remove(QRegularExpression("<[^>]*>"));
    text.replace("&lt;", "<").replace("&gt;", ">").replace("&quot;", "\"").replace("&amp;", "&");
    return text.trimmed();
}

// The list parameter whose entries an option imports from a file.
const ParamSpec *listFileParam(const ToolSpec &spec, const QString &option)
{
    for (const ParamSpec &p : spec.params)
        if (p.kind == ParamSpec::List && !p.listFileOption.isEmpty() && p.listFileOption == option)
            return &p;
    return nullptr;
}

// A list parameter given several times collects its entries.
void appendEntries(QString &value, const QStringList &entries)
{
    for (const QString &e : entries)
        value += (value.isEmpty() ? QString() : QString(";")) + e;
}

// One tool run from the command line: the same checks and messages as the
// dialog, progress on standard error. It exits with 0 only when every
// output it reports has been written.
int runTool(const Tool &tool, const QStringList &args)
{
    const ToolSpec &spec = tool.spec;
    ToolRequest request;
    for (const ParamSpec &p : spec.params)
        request.values[p.option] = p.defaultValue;
    bool yes = false;
    CatalogRun::Window window;
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        if (a == "--yes") {
            yes = true;
            continue;
        }
        if (a == "--window") {
            QString error;
            if (i + 1 >= args.size() || !CatalogRun::parseWindow(args[++i], window, error)) {
                printErr(i + 1 >= args.size() && error.isEmpty() ? a + " needs a value" : error);
                return 1;
            }
            continue;
        }
        if (a == "-o" || a == "--output") {
            if (i + 1 >= args.size()) {
                printErr(a + " needs a value");
                return 1;
            }
            request.output = absolute(args[++i]);
            continue;
        }
        if (a.startsWith("--") && listFileParam(spec, a.mid(2))) {
            // Entries of a list parameter from a text file.
            const ParamSpec *p = listFileParam(spec, a.mid(2));
            if (i + 1 >= args.size()) {
                printErr(a + " needs a value");
                return 1;
            }
            const QString file = absolute(args[++i]);
            int bad = 0;
            const QStringList entries = ToolChecks::readListFile(file, p->listFields.size(), bad);
            if (bad != 0) {
                printErr(ToolChecks::cliMessage(bad < 0 ? QString("Could not open the file") : p->listFormatMessage,
                                                bad < 0 ? file : file + " line " + QString::number(bad)));
                return 1;
            }
            appendEntries(request.values[p->option], entries);
            continue;
        }
        if (a.startsWith("--")) {
            const ParamSpec *p = spec.param(a.mid(2));
            if (p && p->kind == ParamSpec::Flag) {
                request.values[p->option] = "1";
                continue;
            }
            if (!p || i + 1 >= args.size()) {
                printErr(p ? a + " needs a value" : "Unknown option " + a);
                return 1;
            }
            QString v = args[++i];
            if (p->kind == ParamSpec::List) {
                appendEntries(request.values[p->option], {v});
                continue;
            }
            if (p->kind == ParamSpec::Choice) {
                const QString wanted = v;
                const QStringList names = p->cliItems.isEmpty() ? p->items : p->cliItems;
                v.clear();
                for (int k = 0; k < names.size(); ++k)
                    if (names[k].trimmed().compare(wanted, Qt::CaseInsensitive) == 0)
                        v = p->items.value(k);
                if (v.isEmpty()) {
                    printErr(a + " takes one of: " + names.join(", ").toLower());
                    return 1;
                }
            } else if (p->kind == ParamSpec::File || p->kind == ParamSpec::Raster) {
                v = absolute(v);
            }
            request.values[p->option] = v;
            continue;
        }
        if (!spec.positionalParam.isEmpty())
            request.values[spec.positionalParam] = absolute(a);  // e.g. the DEM of hillshade
        else
            request.inputs << absolute(a);
    }
    for (const QString &w : ToolChecks::rangeWarnings(spec, request))
        printErr(ToolChecks::cliMessage(w));
    QStringList outputs;
    const CheckResult check = ToolChecks::prepare(tool, request, outputs);
    if (!check.ok) {
        printErr(check.message.isEmpty() ? "Nothing to do: give the input and -o OUTPUT."
                                         : ToolChecks::cliMessage(check.message, check.detail));
        return 1;
    }
    const QString dataset = CatalogRun::checkInputs(tool, request, window);
    if (!dataset.isEmpty()) {
        printErr(dataset);
        return 1;
    }
    for (const QString &question : ToolChecks::questions(tool, request)) {
        if (!yes) {
            // A question keeps its lines: it may list files, one a line.
            const QString text = plainText(question.trimmed());
            printErr(text + (text.contains('\n') ? "\n" : " ") + "Answer with --yes to go on.");
            return 1;
        }
    }
    // Questions the run raises while it works (about one of its inputs):
    // --yes answers them; without it the run stops there.
    bool refused = false;
    request.ask = [&](const QString &question) {
        if (yes)
            return true;
        refused = true;
        printErr(plainText(question) + "\nAnswer with --yes to go on.");
        return false;
    };
    ToolOutcome outcome;
    try {
        CProcessTerminal progress;
        progress.SetMessage(spec.title.toLocal8Bit().constData());
        outcome = CatalogRun::dispatch(tool, request, outputs, &progress, window);
    } catch (const std::bad_alloc &) {
        printErr(spec.title + ": not enough memory for this run; nothing was finished.");
        return 1;
    }
    for (const QString &n : outcome.notes)
        printErr(ToolChecks::cliMessage(n));
    for (int i = 0; i < outcome.warnings.size(); ++i)
        printErr(ToolChecks::cliMessage(outcome.warnings[i], outcome.details.value(i)));
    QStringList written, missing;
    for (const QString &r : outcome.results)
        (QFileInfo::exists(r) ? written : missing) << r;
    for (const QString &m : missing)
        printErr(spec.title + ": " + m + " was not written.");
    for (const QString &line : outcome.output)
        printOut(line);
    for (const QString &r : written)
        printOut("Wrote " + r);
    // A run that wrote only part of its outputs (an input that failed among
    // several) says so with its status as well.
    if (!outcome.completed || !missing.isEmpty() || written.isEmpty() || !outcome.warnings.isEmpty()) {
        if (outcome.warnings.isEmpty() && outcome.notes.isEmpty() && missing.isEmpty() && !refused)
            printErr(spec.title + " ended without writing anything.");
        return 1;
    }
    return 0;
}

// Splits "FILE... -o OUTPUT" into absolute paths.
bool filesAndOutput(const QString &command, const QStringList &args, QStringList &files, QString &output)
{
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" || args[i] == "--output") {
            if (i + 1 >= args.size()) {
                printErr(args[i] + " needs a value");
                return false;
            }
            output = absolute(args[++i]);
        } else if (args[i] == "--yes") {
            continue;
        } else if (args[i].startsWith("--")) {
            printErr("Unknown option " + args[i]);
            return false;
        } else {
            files << absolute(args[i]);
        }
    }
    if (files.isEmpty() || output.isEmpty()) {
        printErr(command + " needs input files and -o OUTPUT");
        return false;
    }
    return true;
}

int catalog(const QStringList &args)
{
    QStringList files;
    QString output;
    if (!filesAndOutput("catalog", args, files, output))
        return 1;
    if (!output.endsWith(".vpc", Qt::CaseInsensitive)) {
        printErr("A catalogue is written as a .vpc file (" + output + ")");
        return 1;
    }
    std::vector<std::string> paths;
    for (const QString &f : files)
        paths.push_back(QFile::encodeName(f).toStdString());
    std::string error;
    if (!VerdantaIO::WriteCatalog(QFile::encodeName(output).toStdString(), paths, error)) {
        printErr(QString::fromLocal8Bit(error.c_str()));
        return 1;
    }
    printOut("Wrote " + output);
    return 0;
}

int assemble(const QStringList &args)
{
    QStringList parts;
    QString output, error;
    if (!filesAndOutput("assemble", args, parts, output))
        return 1;
    if (!Workflow::assemble(parts, output, error)) {
        printErr(error);
        return 1;
    }
    printOut("Wrote " + output);
    return 0;
}

// plan [--workdir W] [--tile-size M] [--memory BYTES] [--cores N] TOOL ARGS... [then TOOL ARGS...]...
int plan(const QStringList &args)
{
    Workflow::PlanRequest request;
    request.workdir = "workflow";
    request.program = QCoreApplication::applicationFilePath();
    int i = 0;
    for (; i < args.size() && args[i].startsWith("--"); i += 2) {
        const QString a = args[i], v = args.value(i + 1);
        if (i + 1 >= args.size()) {
            printErr(a + " needs a value");
            return 1;
        }
        if (a == "--workdir") {
            request.workdir = absolute(v);
        } else if (a == "--tile-size") {
            request.tileSize = v.toDouble();
            if (!(request.tileSize > 0)) {
                printErr("--tile-size takes a size in metres greater than 0 (" + v + ")");
                return 1;
            }
        } else if (a == "--memory") {
            request.memory = Workflow::parseBytes(v);
            if (!(request.memory > 0)) {
                printErr("--memory takes a size such as 8G or 512M (" + v + ")");
                return 1;
            }
        } else if (a == "--cores") {
            request.cores = v.toInt();
        } else {
            printErr("Unknown option " + a);
            return 1;
        }
    }
    Workflow::Step step;
    for (; i < args.size(); ++i) {
        if (!step.tool) {
            step.tool = ToolRegistry::find(args[i]);
            if (!step.tool) {
                printErr("Unknown tool " + args[i]);
                return 1;
            }
        } else if (args[i] == "then") {
            request.steps << step;
            step = Workflow::Step();
        } else {
            step.args << args[i];
        }
    }
    if (step.tool)
        request.steps << step;
    Workflow::Plan result;
    QString error;
    if (!Workflow::writePlan(request, result, error)) {
        printErr(error.isEmpty() ? "plan needs a tool, its input and -o FINAL" : error);
        return 1;
    }
    for (const QString &line : result.lines)
        printOut(line);
    return 0;
}

const std::vector<Command> &commands()
{
    static const std::vector<Command> list = [] {
        std::vector<Command> l = {
            {"info", "print the properties of LAS, GeoTIFF, shapefile and CSV files", "verdanta-cli info FILE...", info},
            {"catalog", "write a catalogue (.vpc) over LAS files: one dataset for every tool",
             "verdanta-cli catalog FILE... -o AREA.vpc", catalog},
            {"plan", "write a Snakemake workflow running tools tile by tile over a catalogue",
             "verdanta-cli plan [--workdir W] [--tile-size M] [--memory 8G] [--cores N] TOOL [OPTIONS] AREA.vpc "
             "-o FINAL [then TOOL [OPTIONS] INPUT -o FINAL]...\n\n"
             "FINAL: .vrt or .tif (a Cloud-Optimised GeoTIFF) for rasters, .vpc or .las for LAS, .csv for tables.\n"
             "A later step may read an earlier step's FINAL. Run the workflow with snakemake -s W/Snakefile.\n"
             "Without --tile-size, tiles are the smallest size at which the largest buffer b adds at most 10 % to\n"
             "the points a job reads (41 b), at least 500 m, in whole files of the catalogue.",
             plan},
            {"assemble", "join tile outputs into one raster mosaic, catalogue, LAS file or table",
             "verdanta-cli assemble PART... -o OUTPUT(.vrt|.tif|.vpc|.las|.csv)", assemble},
        };
        // Dialogs that share one command (the regression dialogs' regress)
        // list it once; the first of them runs it.
        for (const Tool *t : ToolRegistry::tools())
            if (std::none_of(l.begin(), l.end(), [t](const Command &c) { return c.name == t->spec.name.toStdString(); }))
                l.push_back({t->spec.name.toStdString(), t->spec.summary.toStdString(), ToolChecks::usage(*t).toStdString(),
                         [t](const QStringList &args) { return runTool(*t, args); }});
        return l;
    }();
    return list;
}

void usage(FILE *out)
{
    std::fprintf(out, "Usage: verdanta-cli TOOL [OPTIONS] INPUT... -o OUTPUT\n\nTools:\n");
    for (const auto &c : commands())
        std::fprintf(out, "  %-12s %s\n", c.name.c_str(), c.summary.c_str());
    std::fprintf(out, "\nverdanta-cli TOOL --help lists the options of a tool with their defaults.\n");
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == "--help" || args.first() == "-h") {
        usage(args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 1 : 0;
    }
    const QString name = args.takeFirst();
    for (const auto &c : commands()) {
        if (name.toStdString() == c.name) {
            if (args.contains("--help")) {
                std::printf("Usage: %s\n", c.usage.c_str());
                return 0;
            }
            try {
                return c.run(args);
            } catch (const std::bad_alloc &) {
                printErr("Not enough memory for this run.");
                return 1;
            } catch (const std::exception &e) {
                printErr(QString("The run failed: ") + e.what());
                return 1;
            }
        }
    }
    printErr("Unknown tool " + name);
    usage(stderr);
    return 1;
}
