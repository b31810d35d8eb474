#include "MetricsOutputs.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace MetricsOutputs {

namespace {

QString baseName(const QString &path) { return QFileInfo(path).fileName().section('.', 0, 0); }

// An output text as its folder and base name; a folder form ("dir/") or an
// existing folder has no base name.
void splitOutput(const QString &output, QString &folder, QString &base)
{
    const QFileInfo info(output);
    if (output.endsWith('/') || output.endsWith('\\') || info.isDir()) {
        folder = QDir::cleanPath(output);
        base.clear();
    } else {
        folder = info.absolutePath();
        base = info.completeBaseName();
    }
}

}  // namespace

CheckResult check(const ToolSpec &spec, ToolRequest &r, const QString &suffix, const QString &extension,
                  const QString &notAbsoluteMessage)
{
    const CheckResult params = ToolChecks::validateParams(spec, r);
    if (!params.ok)
        return params;
    auto fail = [](const QString &message, const QString &detail = QString()) {
        CheckResult c{false, message, QString(), true, QString()};  // the output field is cleared
        c.detail = detail;
        return c;
    };
    const QString output = r.output.trimmed();
    if (output.isEmpty())
        return fail(spec.outputEmptyMessage);
    if (!QFileInfo(output).isDir() && !ToolChecks::isAbsolutePlatformPath(output))
        return fail(notAbsoluteMessage, output + " is not an absolute path");
    QString folder, base;
    splitOutput(output, folder, base);
    if (folder.isEmpty())
        return fail(spec.outputEmptyMessage);
    if (!QDir(folder).exists())
        return fail(spec.invalidPathMessage, folder + " does not exist");
    static const QRegularExpression forbidden("[\\\\/:*?\"<>|]");
    if (forbidden.match(base).hasMatch())
        return fail(spec.invalidPathMessage, base + " holds a character a file name cannot hold");
    CheckResult ok;
    ok.setOutput = true;
    if (r.inputs.size() == 1)
        ok.output = ToolChecks::joinPath(folder, (base.isEmpty() ? baseName(r.inputs.first()) + suffix : base) + extension);
    else
        ok.output = ToolChecks::joinPath(folder, QString());
    return ok;
}

QStringList outputs(const ToolRequest &r, const QString &suffix, const QString &extension)
{
    if (r.inputs.size() == 1)
        return {r.output};
    QString folder, base;
    splitOutput(r.output, folder, base);
    QStringList list;
    for (const QString &in : r.inputs)
        list << ToolChecks::joinPath(folder, baseName(in) + suffix + extension);
    return list;
}

QString defaultOutput(const ToolRequest &r, const QString &suffix, const QString &extension)
{
    if (r.inputs.isEmpty())
        return QString();
    const QString first = r.inputs.first();
    const QString folder = QFileInfo(first).absolutePath();
    if (r.inputs.size() == 1)
        return ToolChecks::joinPath(folder, baseName(first) + suffix + extension);
    return ToolChecks::joinPath(folder, QString());
}

}  // namespace MetricsOutputs
