#include "ExtractTools.h"

#include "DataManagement.h"

#include <QFile>

namespace ExtractTools {

namespace {

using Selection = C_DataManagement::Selection;

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }

ToolOutcome runExtraction(const Selection &selection, const ToolRequest &request,
                          const QStringList &outputs, CProcessBase *progress)
{
    ToolOutcome outcome;
    std::vector<std::string> inputs, outs, written;
    for (const QString &in : request.inputs)
        inputs.push_back(local(in));
    for (const QString &out : outputs)
        outs.push_back(local(out));
    C_DataManagement dm;
    uint64_t kept = 0;
    const int status = dm.ExtractPoints(inputs, outs, selection, progress, written, kept);
    for (const std::string &w : written)
        outcome.results << QFile::decodeName(QByteArray::fromStdString(w));
    const QString detail = QString::fromLocal8Bit(dm.lastError().c_str());
    if (status == C_DataManagement::kStreamOpenFailed) {
        outcome.warn("Open LAS file failed!", detail);
        return outcome;
    }
    if (status == C_DataManagement::kStreamWriteFailed) {
        outcome.warn("Write LAS file failed!", detail);
        return outcome;
    }
    if (status != C_DataManagement::kStreamDone)
        return outcome;  // cancelled
    if (kept == 0) {
        outcome.warn("No point is found!");
        return outcome;
    }
    if (progress)
        progress->SetPosition(1.0);
    outcome.completed = true;
    return outcome;
}

// The common part of the four declarations.
ToolSpec extractionSpec(const QString &name, const QString &action, const QString &title, const QString &suffix,
                        bool lowerCaseFile)
{
    ToolSpec s;
    s.name = name;
    s.action = action;
    s.menu = "Tools > Data Management > Extract";
    s.title = title;
    s.suffix = suffix;
    s.output = OutputKind::FilePerInput;
    // Point by point: a window's points alone, no buffer.
    s.tiles.perPoint = true;
    s.tiles.bytesPerPoint = 140;
    if (lowerCaseFile) {
        // Class and return speak of the output in their own words.
        s.noInputMessage = "Please add LAS file!";
        s.outputEmptyMessage = "Please add output path!";
        s.folderMissingMessage = "Please reset output file!";
    }
    return s;
}

// Min and Max: the pair check after each field's own, both set back.
std::function<CheckResult(const ToolSpec &, ToolRequest &)> rangeCheck()
{
    return [](const ToolSpec &spec, ToolRequest &request) {
        CheckResult c = ToolChecks::validateParams(spec, request);
        if (!c.ok)
            return c;
        bool okMin = false, okMax = false;
        const double min = request.values.value("min").toDouble(&okMin);
        const double max = request.values.value("max").toDouble(&okMax);
        if (!okMin || !okMax || !(max > min)) {
            c = CheckResult{false, "Min and Max are invalid!\nMax must be greater than Min.\nRestore to default value.",
                            QString()};
            c.detail = "--min " + request.values.value("min") + " --max " + request.values.value("max");
            request.values["min"] = spec.param("min")->defaultValue;
            request.values["max"] = spec.param("max")->defaultValue;
            return c;
        }
        return ToolChecks::validate(spec, request);
    };
}

ParamSpec bound(const QString &option, const QString &label, bool intensity)
{
    ParamSpec p;
    p.option = option;
    p.label = label;
    p.defaultValue = "100.0";
    if (option == "max")
        p.defaultValue = "200.0";
    const QString name = option == "min" ? "Min" : "Max";
    p.emptyMessage = name + " is empty! Please set!";
    if (intensity) {
        p.invalidMessage = name + " is invalid!\nIt must be greater than 0.\nRestore to default value.";
        p.limitMin = 0;
        p.limitMinOpen = true;
        p.limitMax = 65535;
    }
    return p;
}

}  // namespace

const Tool &byClass()
{
    static const Tool tool = [] {
        ToolSpec s = extractionSpec("extract-class", "actionExtract_by_Class", "Extract by Class", "_ExtractByClass.las",
                                    true);
        s.summary = "write the points of chosen classes into new LAS files";
        s.help = "<h3>Extract by Class</h3><p>Writes, for each input file, a LAS file with only the points whose "
                 "classification is one of the chosen classes. \"Default\" stands for the codes 0 (never "
                 "classified) and 1 (unclassified). The output keeps the first input's point format, scale, "
                 "offset and coordinate system; its counts and bounds are those of the points written. An input "
                 "without such points gives no file.</p>";
        ParamSpec classes;
        classes.kind = ParamSpec::List;
        classes.option = "classes";
        classes.label = "Export Class";
        classes.widgetName = "listWidget_classes";
        classes.items = QStringList{"Default(ID=0,1)",   "Ground(ID=2)",          "Low Vegetation(ID=3)",
                                    "Medium Vegetation(ID=4)", "High Vegetation(ID=5)", "Building(ID=6)",
                                    "Low Point(noise)(ID=7)",  "Model Key-point(mass point)(ID=8)", "Water(ID=9)"};
        classes.itemValues = QStringList{"0,1", "2", "3", "4", "5", "6", "7", "8", "9"};
        classes.valueName = "CODE,CODE...";
        classes.emptyMessage = "Please add Export Class!";
        s.params = {classes};
        return Tool{s, [](const ToolRequest &r, const QStringList &o, CProcessBase *p) {
                        Selection sel;
                        sel.kind = Selection::Class;
                        for (const QString &entry : ToolChecks::listEntries(r.values.value("classes")))
                            for (const QString &code : entry.split(','))
                                sel.codes.push_back(static_cast<uint8_t>(code.trimmed().toUInt()));
                        return runExtraction(sel, r, o, p);
                    },
                    [](const ToolSpec &spec, ToolRequest &request) {
                        // Codes typed on the command line: whole numbers 0 to 255.
                        CheckResult c = ToolChecks::validateParams(spec, request);
                        if (!c.ok)
                            return c;
                        for (const QString &entry : ToolChecks::listEntries(request.values.value("classes")))
                            for (const QString &code : entry.split(',')) {
                                bool ok = false;
                                const uint v = code.trimmed().toUInt(&ok);
                                if (!ok || v > 255) {
                                    c = CheckResult{false, "Please add Export Class!", QString()};
                                    c.detail = "--classes " + entry + ": class codes are whole numbers 0 to 255";
                                    return c;
                                }
                            }
                        return ToolChecks::validate(spec, request);
                    }};
    }();
    return tool;
}

const Tool &byElevation()
{
    static const Tool tool = [] {
        ToolSpec s = extractionSpec("extract-elevation", "actionExtract_by_elevation", "Extract by Elevation",
                                    "_ExtractByElevation.las", false);
        s.summary = "write the points within an elevation range into new LAS files";
        s.help = "<h3>Extract by Elevation</h3><p>Writes, for each input file, a LAS file with only the points "
                 "whose Z lies between Min and Max (both included). Max must be greater than Min.</p>";
        s.params = {bound("min", "Min(m)", false), bound("max", "Max(m)", false)};
        return Tool{s,
                    [](const ToolRequest &r, const QStringList &o, CProcessBase *p) {
                        Selection sel;
                        sel.kind = Selection::Height;
                        sel.min = r.values.value("min").toDouble();
                        sel.max = r.values.value("max").toDouble();
                        return runExtraction(sel, r, o, p);
                    },
                    rangeCheck()};
    }();
    return tool;
}

const Tool &byIntensity()
{
    static const Tool tool = [] {
        ToolSpec s = extractionSpec("extract-intensity", "actionExtract_by_Intensity", "Extract by Intensity",
                                    "_ExtractByIntensity.las", false);
        s.summary = "write the points within an intensity range into new LAS files";
        s.help = "<h3>Extract by Intensity</h3><p>Writes, for each input file, a LAS file with only the points "
                 "whose intensity lies between Min and Max (both included). Both are greater than 0 and at most "
                 "65535, and Max must be greater than Min.</p>";
        s.params = {bound("min", "Min", true), bound("max", "Max", true)};
        return Tool{s,
                    [](const ToolRequest &r, const QStringList &o, CProcessBase *p) {
                        Selection sel;
                        sel.kind = Selection::Intensity;
                        // Held as 16-bit values, as the records store them.
                        sel.min = static_cast<uint16_t>(r.values.value("min").toDouble());
                        sel.max = static_cast<uint16_t>(r.values.value("max").toDouble());
                        return runExtraction(sel, r, o, p);
                    },
                    rangeCheck()};
    }();
    return tool;
}

const Tool &byReturn()
{
    static const Tool tool = [] {
        ToolSpec s = extractionSpec("extract-return", "actionExtract_by_return", "Extract by Return",
                                    "_ExtractByReturn.las", true);
        s.summary = "write the points of one return (first, last, 2, 3, 4, above 4) into new LAS files";
        s.help = "<h3>Extract by Return</h3><p>Writes, for each input file, a LAS file with only the points of "
                 "one return: the first returns, the last returns (return number equal to the number of returns), "
                 "the second, third or fourth returns, or the returns numbered above 4.</p>";
        ParamSpec number;
        number.kind = ParamSpec::Choice;
        number.option = "return";
        number.label = "number";
        number.widgetName = "comboBox_number";
        number.items = QStringList{"First Return", "Last Return", "2", "3", "4", ">4"};
        number.cliItems = QStringList{"first", "last", "2", "3", "4", ">4"};
        number.defaultValue = "First Return";
        s.params = {number};
        return Tool{s, [](const ToolRequest &r, const QStringList &o, CProcessBase *p) {
                        const QString v = r.values.value("return");
                        Selection sel;
                        sel.kind = Selection::Return;
                        if (v == "First Return") {
                            sel.value = 1; sel.qualifier = 0;
                        } else if (v == "Last Return") {
                            sel.value = 5; sel.qualifier = 1;
                        } else if (v == ">4") {
                            sel.value = 4; sel.qualifier = 2;
                        } else {
                            sel.value = v.toInt(); sel.qualifier = 0;
                        }
                        return runExtraction(sel, r, o, p);
                    }};
    }();
    return tool;
}

}  // namespace ExtractTools
