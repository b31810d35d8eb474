#include "ToolDeclaration.h"

#include "CatalogRun.h"
#include "InputReferences.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QTextStream>
#include <QPair>

#include <algorithm>
#include <QFileInfo>
#include <QRegularExpression>

ParamSpec ParamSpec::field(const QString &option, const QString &label, const QString &def, const QString &widget,
                           Kind kind)
{
    ParamSpec p;
    p.option = option;
    p.label = label;
    p.defaultValue = def;
    p.widgetName = widget;
    p.kind = kind;
    return p;
}

const ParamSpec *ToolSpec::param(const QString &option) const
{
    for (const ParamSpec &p : params)
        if (p.option == option)
            return &p;
    return nullptr;
}

double TileRule::bufferFor(const QMap<QString, QString> &values, double cell) const
{
    if (perPoint)
        return 0;
    double b = buffer;
    if (!bufferOption.isEmpty())
        b += bufferFactor * values.value(bufferOption).toDouble();
    if (bufferCap >= 0)
        b = std::min(b, bufferCap);
    return std::max(0.0, b) + bufferCells * cell;
}

QString TileRule::describe() const
{
    QStringList parts;
    if (buffer > 0 || bufferOption.isEmpty())
        parts << QString::number(buffer) + " m";
    if (!bufferOption.isEmpty())
        parts << QString::number(bufferFactor) + " x --" + bufferOption;
    QString text = parts.join(" + ");
    if (bufferCap >= 0)
        text += ", at most " + QString::number(bufferCap) + " m";
    if (bufferCells > 0)
        text += " + " + QString::number(bufferCells) + (bufferCells == 1 ? " cell" : " cells");
    return text;
}

namespace ToolChecks {

namespace {
QString baseName(const QString &path) { return QFileInfo(path).fileName().section('.', 0, 0); }
}  // namespace

QString joinPath(const QString &folder, const QString &name)
{
    return folder.endsWith('/') || folder.endsWith('\\') ? folder + name : folder + "/" + name;
}

QString defaultOutput(const ToolSpec &spec, const QStringList &inputs)
{
    if (inputs.isEmpty())
        return QString();
    const QString last = inputs.last();
    return joinPath(QFileInfo(last).absolutePath(), baseName(last) + spec.suffix);
}

bool isAbsolutePlatformPath(const QString &path)
{
#ifdef _WIN32
    static const QRegularExpression drive("[a-zA-Z]:[/|\\\\|\\\\\\\\]");
    return drive.match(path).hasMatch();
#else
    return path.startsWith('/');
#endif
}

QStringList listEntries(const QString &value)
{
    QStringList entries;
    for (const QString &e : value.split(';'))
        if (!e.trimmed().isEmpty())
            entries << e.trimmed();
    return entries;
}

bool entryNumbers(const QString &entry, int count, QVector<double> &numbers)
{
    numbers.clear();
    const QStringList parts = entry.split(',');  // empty parts kept: "1,,2" has three
    if (parts.size() != count)
        return false;
    for (const QString &part : parts) {
        bool ok = false;
        numbers << part.trimmed().toDouble(&ok);
        if (!ok)
            return false;
    }
    return true;
}

QStringList readListFile(const QString &path, int count, int &badLine)
{
    QStringList entries;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        badLine = -1;
        return entries;
    }
    QTextStream in(&file);
    badLine = 0;
    QVector<double> numbers;
    for (int line = 1; !in.atEnd(); ++line) {
        const QString text = in.readLine();
        if (!entryNumbers(text, count, numbers)) {
            badLine = line;
            break;
        }
        entries << text.trimmed();
    }
    return entries;
}

CheckResult validateParams(const ToolSpec &spec, ToolRequest &request)
{
    auto fail = [](const QString &message, const QString &reset = QString()) {
        return CheckResult{false, message, reset};
    };
    if (spec.lasInputs && request.inputs.isEmpty())
        return fail(spec.noInputMessage);
    QVector<const ParamSpec *> order;
    for (const QString &option : spec.checkOrder)
        if (const ParamSpec *p = spec.param(option))
            order << p;
    if (spec.checkOrder.isEmpty())
        for (const ParamSpec &p : spec.params)
            order << &p;
    for (const ParamSpec *param : order) {
        const ParamSpec &p = *param;
        const QString value = request.values.value(p.option).trimmed();
        if (value.isEmpty()) {
            if (!p.emptyMessage.isEmpty())
                return fail(p.emptyMessage);
            continue;
        }
        if (p.kind == ParamSpec::List && !p.listFields.isEmpty()) {
            QVector<double> numbers;
            for (const QString &entry : listEntries(value)) {
                CheckResult c;
                if (!entryNumbers(entry, p.listFields.size(), numbers))
                    c = fail(p.listFormatMessage);
                else if (p.entryCheck && !p.entryCheck(numbers).isEmpty())
                    c = fail(p.entryCheck(numbers));
                if (!c.ok) {
                    c.detail = "--" + p.option + " " + entry;
                    return c;
                }
            }
        }
        if (p.kind == ParamSpec::Set) {
            // The prefix, then each letter of the set at most once.
            QString rest = value;
            bool ok = rest.startsWith(p.valuePrefix);
            rest.remove(0, p.valuePrefix.size());
            for (int i = 0; ok && i < rest.size(); ++i)
                ok = p.itemValues.contains(QString(rest[i])) && rest.indexOf(rest[i]) == i;
            if (!ok) {
                CheckResult c = fail(p.invalidMessage.isEmpty() ? p.label + " is invalid!" : p.invalidMessage);
                c.detail = "--" + p.option + " " + value;
                return c;
            }
        }
        if (p.kind == ParamSpec::Number) {
            bool ok = false;
            const double v = value.toDouble(&ok);
            const bool limited = p.limitMin <= p.limitMax;
            const bool aboveMin = p.limitMinOpen ? v > p.limitMin : v >= p.limitMin;
            const bool valid = ok && (limited     ? aboveMin && v <= p.limitMax
                                      : p.allowZero ? v >= 0
                                                    : v > 0);
            if (!valid && !p.invalidMessage.isEmpty()) {
                request.values[p.option] = p.resetValue.isEmpty() ? p.defaultValue : p.resetValue;
                CheckResult c = fail(p.invalidMessage, p.option);
                c.detail = "--" + p.option + " " + value;
                return c;
            }
        }
    }
    return CheckResult();
}

QStringList rangeWarnings(const ToolSpec &spec, const ToolRequest &request)
{
    QStringList warnings;
    for (const ParamSpec &p : spec.params) {
        if (p.rangeMessage.isEmpty())
            continue;
        bool ok = false;
        const double v = request.values.value(p.option).toDouble(&ok);
        if (ok && (v < p.rangeMin || v > p.rangeMax))
            warnings << p.rangeMessage;
    }
    return warnings;
}

CheckResult validate(const ToolSpec &spec, ToolRequest &request)
{
    auto fail = [](const QString &message) { return CheckResult{false, message, QString()}; };
    auto failWith = [](const QString &message, const QString &detail) {
        CheckResult c{false, message, QString()};
        c.detail = detail;
        return c;
    };
    const CheckResult params = validateParams(spec, request);
    if (!params.ok)
        return params;
    const QString output = request.output.trimmed();
    if (output.isEmpty())
        return fail(spec.outputEmptyMessage);
    const QFileInfo info(output);
    if (!spec.folderMissingMessage.isEmpty() && !info.isDir() && !info.absoluteDir().exists())
        return failWith(spec.folderMissingMessage, info.absolutePath() + " does not exist");
    if (!isAbsolutePlatformPath(output))
        return failWith(spec.invalidPathMessage, output + " is not an absolute path");
    static const QRegularExpression forbidden("[\\\\/:*?\"<>|]");
    if (forbidden.match(info.fileName()).hasMatch())
        return failWith(spec.invalidPathMessage, info.fileName() + " holds a character a file name cannot hold");
    return CheckResult();
}

QStringList resolveOutputs(const ToolSpec &spec, const ToolRequest &request)
{
    const QString output = QDir::cleanPath(request.output.trimmed());
    // A LAS output may be named .laz, which writes it compressed.
    auto withExtension = [&](const QString &path) {
        const bool compressed = spec.extension == ".las" && path.endsWith(".laz", Qt::CaseInsensitive);
        return path.endsWith(spec.extension, Qt::CaseInsensitive) || compressed ? path : path + spec.extension;
    };
    switch (spec.output) {
    case OutputKind::Folder:
        return {output};
    case OutputKind::File:
        if (QFileInfo(output).isDir())
            return {joinPath(output, baseName(request.inputs.first()) + spec.suffix)};
        return {joinPath(QFileInfo(output).absolutePath(), QFileInfo(withExtension(output)).fileName())};
    case OutputKind::FilePerInput:
        if (request.inputs.size() == 1 && !QFileInfo(output).isDir())
            return {withExtension(output)};
        QStringList outputs;
        for (const QString &input : request.inputs)
            outputs << joinPath(output, baseName(input) + spec.suffix);
        return outputs;
    }
    return {};
}

CheckResult refuseOverwrite(const ToolSpec &spec, const ToolRequest &request, const QStringList &outputs)
{
    for (const QString &out : outputs) {
        const QFileInfo o(out);
        for (const QString &in : request.inputs) {
            const QFileInfo i(in);
            const bool same = o.exists() && i.exists() ? o.canonicalFilePath() == i.canonicalFilePath()
                                                       : QDir::cleanPath(o.absoluteFilePath()) ==
                                                             QDir::cleanPath(i.absoluteFilePath());
            if (same) {
                CheckResult c{false, spec.invalidPathMessage, QString()};
                c.detail = out + " is one of the inputs";
                return c;
            }
        }
    }
    return CheckResult();
}

CheckResult prepare(const Tool &tool, ToolRequest &request, QStringList &outputs)
{
    outputs.clear();
    CheckResult check = tool.check ? tool.check(tool.spec, request) : validate(tool.spec, request);
    if (!check.ok)
        return check;
    const QString dataset = CatalogRun::checkInputs(tool, request, CatalogRun::Window());
    if (!dataset.isEmpty())
        return CheckResult{false, dataset, QString(), false, QString(), QString()};
    if (check.setOutput)
        request.output = check.output;
    outputs = tool.outputs ? tool.outputs(tool.spec, request) : resolveOutputs(tool.spec, request);
    CheckResult overwrite = refuseOverwrite(tool.spec, request, outputs);
    if (!overwrite.ok) {
        outputs.clear();
        return overwrite;
    }
    return check;
}

QStringList questions(const Tool &tool, const ToolRequest &request)
{
    QStringList list;
    if (tool.combinesInputs && tool.combinesInputs(request)) {
        const QString crs = InputReferences::mismatchQuestion(request.inputs);
        if (!crs.isEmpty())
            list << crs;
    }
    if (!tool.confirmation.isEmpty())
        list << tool.confirmation;
    return list;
}

QString shellQuote(const QString &s)
{
    static const QRegularExpression plain("^[A-Za-z0-9_./:=+,-]+$");
    if (plain.match(s).hasMatch())
        return s;
    QString q = s;
    q.replace('\'', "'\\''");
    return "'" + q + "'";
}

QString commandLine(const ToolSpec &spec, const ToolRequest &request, bool answeredYes)
{
    const auto quote = shellQuote;
    QStringList parts{"verdanta-cli", spec.name};
    for (const ParamSpec &p : spec.params) {
        const QString v = request.values.value(p.option);
        if (p.kind == ParamSpec::Flag) {
            if (v == "1")
                parts << "--" + p.option;
        } else if (p.kind == ParamSpec::Choice) {
            const int i = p.items.indexOf(v);
            parts << "--" + p.option << (i >= 0 && i < p.cliItems.size() ? quote(p.cliItems[i]) : v.toLower());
        } else if (p.kind == ParamSpec::List) {
            for (const QString &entry : listEntries(v))
                parts << "--" + p.option << quote(entry);
        } else if (!v.isEmpty()) {
            parts << "--" + p.option << quote(v);
        }
    }
    for (const QString &in : request.inputs)
        parts << quote(in);
    if (!spec.positionalParam.isEmpty()) {
        parts.removeAll("--" + spec.positionalParam);  // the value follows as the positional argument
        const QString v = request.values.value(spec.positionalParam);
        parts.removeOne(quote(v));
        parts << quote(v);
    }
    if (answeredYes)
        parts << "--yes";
    parts << "-o" << quote(request.output);
    return parts.join(' ');
}

QString usage(const Tool &tool)
{
    const ToolSpec &spec = tool.spec;
    const QString inputs = !spec.positionalParam.isEmpty() ? spec.positionalParam.toUpper() + ".tif"
                           : spec.lasInputs                ? QString("INPUT...")
                                                           : QString();
    QString text = "verdanta-cli " + spec.name + " [OPTIONS] " + inputs + " -o OUTPUT\n\n" + spec.summary +
                   "\n\nOptions:\n";
    // One row per option: "--name ARG", padded to the widest, then the label.
    QList<QPair<QString, QString>> rows;
    for (const ParamSpec &p : spec.params) {
        if (p.option == spec.positionalParam)
            continue;
        QString arg = !p.valueName.isEmpty()                                 ? p.valueName
                      : p.kind == ParamSpec::File || p.kind == ParamSpec::Raster ? "FILE"
                      : p.kind == ParamSpec::Flag                           ? ""
                                                                            : "VALUE";
        QString def = p.defaultValue;
        if (p.kind == ParamSpec::Choice) {
            const QStringList names = p.cliItems.isEmpty() ? p.items : p.cliItems;
            arg = names.join("|").toLower();
            def = names.value(0).toLower();
        } else if (p.kind == ParamSpec::Flag) {
            def = p.defaultValue == "1" ? "on" : "off";
        }
        QStringList facts;
        if (p.kind == ParamSpec::List)
            facts << "repeatable";
        if (!def.isEmpty())
            facts << "default " + def;
        if (p.limitMin <= p.limitMax)
            facts << QString::number(p.limitMin) + " to " + QString::number(p.limitMax);
        rows.append(qMakePair(("--" + p.option + " " + arg).trimmed(),
                              p.label.trimmed() + (facts.isEmpty() ? QString() : " (" + facts.join("; ") + ")")));
        if (p.kind == ParamSpec::List && !p.listFileOption.isEmpty())
            rows.append(qMakePair("--" + p.listFileOption + " FILE",
                                  p.label.trimmed() + " from a text file, one " + arg + " a line"));
        if (p.kind == ParamSpec::Set) {
            QStringList letters;
            for (int i = 0; i < p.items.size(); ++i)
                letters << p.itemValues.value(i) + " " + p.items[i];
            rows.append(qMakePair(QString(), "  letters after " + p.valuePrefix + ": " + letters.join(", ")));
        }
    }
    rows.append(qMakePair(QString("-o OUTPUT"), QString("the output (a file, or a folder where the tool writes several)")));
    rows.append(qMakePair(QString("--yes"), QString("answer every question with yes")));
    rows.append(qMakePair(QString("--window X0,Y0,X1,Y1"),
                          "run on one window of the input (buffer " + spec.tiles.describe() + ")"));
    int width = 0;
    for (const auto &r : rows)
        width = std::max(width, int(r.first.size()));
    for (const auto &r : rows)
        text += "  " + r.first.leftJustified(width + 2) + r.second + "\n";
    return text;
}

QString cliMessage(const QString &message, const QString &detail)
{
    QString text = message;
    text.remove("Restore to default value.");
    // The dialog's line breaks become spaces; a sentence run into the next
    // ("invalid!It must") gets its space back.
    text.replace('\n', ' ');
    static const QRegularExpression runOn("([!.])(?=[A-Z][a-z])");
    if (!text.contains('/') && !text.contains('\\'))  // leave paths alone
        text.replace(runOn, "\\1 ");
    text = text.simplified();
    if (!detail.isEmpty())
        text += " (" + detail + ")";
    return text;
}

}  // namespace ToolChecks
