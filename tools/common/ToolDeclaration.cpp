#include "ToolDeclaration.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

const ParamSpec *ToolSpec::param(const QString &option) const
{
    for (const ParamSpec &p : params)
        if (p.option == option)
            return &p;
    return nullptr;
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

CheckResult validateParams(const ToolSpec &spec, ToolRequest &request)
{
    auto fail = [](const QString &message, const QString &reset = QString()) {
        return CheckResult{false, message, reset};
    };
    if (spec.lasInputs && request.inputs.isEmpty())
        return fail(spec.noInputMessage);
    for (const ParamSpec &p : spec.params) {
        const QString value = request.values.value(p.option).trimmed();
        if (value.isEmpty()) {
            if (!p.emptyMessage.isEmpty())
                return fail(p.emptyMessage);
            continue;
        }
        if (p.kind == ParamSpec::Number) {
            bool ok = false;
            const double v = value.toDouble(&ok);
            const bool valid = ok && (p.allowZero ? v >= 0 : v > 0);
            if (!valid && !p.invalidMessage.isEmpty()) {
                request.values[p.option] = p.resetValue.isEmpty() ? p.defaultValue : p.resetValue;
                return fail(p.invalidMessage, p.option);
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
    const CheckResult params = validateParams(spec, request);
    if (!params.ok)
        return params;
    const QString output = request.output.trimmed();
    if (output.isEmpty())
        return fail(spec.outputEmptyMessage);
    const QFileInfo info(output);
    if (!spec.folderMissingMessage.isEmpty() && !info.isDir() && !info.absoluteDir().exists())
        return fail(spec.folderMissingMessage);
    if (!isAbsolutePlatformPath(output))
        return fail(spec.invalidPathMessage);
    static const QRegularExpression forbidden("[\\\\/:*?\"<>|]");
    if (forbidden.match(info.fileName()).hasMatch())
        return fail(spec.invalidPathMessage);
    return CheckResult();
}

QStringList resolveOutputs(const ToolSpec &spec, const ToolRequest &request)
{
    const QString output = QDir::cleanPath(request.output.trimmed());
    auto withExtension = [&](const QString &path) {
        return path.endsWith(spec.extension, Qt::CaseInsensitive) ? path : path + spec.extension;
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
            if (same)
                return CheckResult{false, spec.invalidPathMessage, QString()};
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

QString commandLine(const ToolSpec &spec, const ToolRequest &request)
{
    auto quote = [](const QString &s) {
        static const QRegularExpression plain("^[A-Za-z0-9_./:=+-]+$");
        if (plain.match(s).hasMatch())
            return s;
        QString q = s;
        q.replace('\'', "'\\''");
        return "'" + q + "'";
    };
    QStringList parts{"verdanta-cli", spec.name};
    for (const ParamSpec &p : spec.params) {
        const QString v = request.values.value(p.option);
        if (p.kind == ParamSpec::Flag) {
            if (v == "1")
                parts << "--" + p.option;
        } else if (p.kind == ParamSpec::Choice) {
            parts << "--" + p.option << v.toLower();
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
    parts << "-o" << quote(request.output);
    return parts.join(' ');
}

}  // namespace ToolChecks
