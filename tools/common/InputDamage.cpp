#include "InputDamage.h"

#include "LasIO.h"

#include <QFile>

namespace InputDamage {

namespace {
std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }
QString text(const std::string &s) { return QString::fromLocal8Bit(s.c_str()); }
}  // namespace

QStringList remarks(const QString &input, const std::vector<std::string> &warnings)
{
    QStringList list;
    for (const std::string &w : warnings)
        list << input + ": " + text(w);
    return list;
}

QStringList notes(const QStringList &inputs)
{
    QStringList list;
    for (const QString &input : inputs) {
        VerdantaIO::CLASIO las;
        if (las.LoadFile(local(input)))
            list << remarks(input, las.warnings());
    }
    return list;
}

QString firstRefusal(const QStringList &inputs)
{
    for (const QString &input : inputs) {
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(local(input)))
            return input + ": " + text(las.lastError());
    }
    return QString();
}

QStringList fromLibrary(const std::vector<std::string> &remarks)
{
    QStringList list;
    for (const std::string &r : remarks)
        list << text(r);
    return list;
}

}  // namespace InputDamage
