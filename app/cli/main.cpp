// verdanta-cli: batch processing on the same libraries as the desktop
// application. Shape of every subcommand:
//   verdanta-cli TOOL [OPTIONS] INPUT... -o OUTPUT
// Exit status 0 on success, 1 with the message on standard error otherwise.

#include "FileProperties.h"
#include "LasDataTools.h"
#include "RasterTools.h"
#include "ProcessTerminal.h"
#include "ToolDeclaration.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <functional>

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
        for (const auto &row : rows)
            printOut(row.first + ": " + row.second);
    }
    return status;
}

// The tools, declared once and shared with their dialogs.
const std::vector<const Tool *> &tools()
{
    static const std::vector<const Tool *> list = {&LasDataTools::merge(), &LasDataTools::tile(),
                                                   &LasDataTools::normalize(), &RasterTools::dem(),
                                                   &RasterTools::dsm(), &RasterTools::chm(),
                                                   &RasterTools::hillshade(), &RasterTools::lasToRaster()};
    return list;
}

std::string toolUsage(const Tool &tool)
{
    const QString inputs = !tool.spec.positionalParam.isEmpty() ? tool.spec.positionalParam.toUpper() + ".tif"
                           : tool.spec.lasInputs                ? QString("INPUT...")
                                                                : QString();
    QString text = "verdanta-cli " + tool.spec.name + " [OPTIONS] " + inputs + " -o OUTPUT\n\n" + tool.spec.summary +
                   "\n\nOptions:\n";
    for (const ParamSpec &p : tool.spec.params) {
        if (p.option == tool.spec.positionalParam)
            continue;
        QString arg = p.kind == ParamSpec::File || p.kind == ParamSpec::Raster ? "FILE"
                      : p.kind == ParamSpec::Flag                           ? ""
                                                                            : "VALUE";
        QString def = p.defaultValue;
        if (p.kind == ParamSpec::Choice) {
            arg = p.items.join("|").toLower();
            def = p.items.value(0).toLower();
        } else if (p.kind == ParamSpec::Flag) {
            def = p.defaultValue == "1" ? "on" : "off";
        }
        text += QString("  --%1 %2  %3%4\n")
                    .arg(p.option, -10)
                    .arg(arg, -12)
                    .arg(p.label.trimmed())
                    .arg(def.isEmpty() ? QString() : " (default " + def + ")");
    }
    text += "  -o OUTPUT         the output (a file, or a folder where the tool writes several)\n";
    text += "  --yes             answer every question with yes\n";
    return text.toStdString();
}

// One tool run from the command line: the same checks and messages as the
// dialog, progress on standard error.
int runTool(const Tool &tool, const QStringList &args)
{
    const ToolSpec &spec = tool.spec;
    ToolRequest request;
    for (const ParamSpec &p : spec.params)
        request.values[p.option] = p.defaultValue;
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        if (a == "--yes")
            continue;
        if (a == "-o" || a == "--output") {
            if (i + 1 >= args.size()) {
                printErr(a + " needs a value");
                return 1;
            }
            request.output = args[++i];
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
            if (p->kind == ParamSpec::Choice) {
                const QString wanted = v;
                v.clear();
                for (const QString &item : p->items)
                    if (item.trimmed().compare(wanted, Qt::CaseInsensitive) == 0)
                        v = item;
                if (v.isEmpty()) {
                    printErr(a + " takes one of: " + p->items.join(", ").toLower());
                    return 1;
                }
            }
            request.values[p->option] = v;
            continue;
        }
        if (!spec.positionalParam.isEmpty())
            request.values[spec.positionalParam] = a;  // e.g. the DEM of hillshade
        else
            request.inputs << a;
    }
    for (const QString &w : ToolChecks::rangeWarnings(spec, request))
        printErr(w);
    QStringList outputs;
    const CheckResult check = ToolChecks::prepare(tool, request, outputs);
    if (!check.ok) {
        printErr(check.message.isEmpty() ? "Nothing to do: give the input and -o OUTPUT." : check.message);
        return 1;
    }
    if (!tool.confirmation.isEmpty() && !args.contains("--yes")) {
        printErr(tool.confirmation + " Answer with --yes to go on.");
        return 1;
    }
    ToolOutcome outcome;
    {
        CProcessTerminal progress;
        progress.SetMessage(spec.title.toLocal8Bit().constData());
        outcome = tool.run(request, outputs, &progress);
    }
    for (const QString &w : outcome.warnings)
        printErr(w.trimmed());
    if (!outcome.completed) {
        if (outcome.warnings.isEmpty())
            printErr(spec.title + " ended without a result.");
        return 1;
    }
    for (const QString &r : outcome.results)
        printOut("Wrote " + r);
    return 0;
}

const std::vector<Command> &commands()
{
    static const std::vector<Command> list = [] {
        std::vector<Command> l = {
            {"info", "print the properties of LAS, GeoTIFF, shapefile and CSV files", "verdanta-cli info FILE...", info},
        };
        for (const Tool *t : tools())
            l.push_back({t->spec.name.toStdString(), t->spec.summary.toStdString(), toolUsage(*t),
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
            return c.run(args);
        }
    }
    printErr("Unknown tool " + name);
    usage(stderr);
    return 1;
}
