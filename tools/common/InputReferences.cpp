#include "InputReferences.h"

#include "Catalog.h"
#include "LasIO.h"

#include <QFile>
#include <QFileInfo>

namespace InputReferences {

QString referenceName(const std::string &wkt)
{
    return QString::fromUtf8(VerdantaIO::ReferenceName(wkt).c_str());
}

QString mismatchQuestion(const QStringList &inputs)
{
    if (inputs.size() < 2)
        return QString();
    std::vector<std::string> wkts;
    QStringList files;
    for (const QString &in : inputs) {
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(QFile::encodeName(in).toStdString()))
            continue;  // the run reports unreadable files itself
        wkts.push_back(las.header.spatialReference.GetWKT());
        files << in;
    }
    bool agree = true;
    for (size_t i = 1; i < wkts.size() && agree; ++i)
        agree = VerdantaIO::SameReference(wkts.front(), wkts[i]);
    if (agree)
        return QString();
    QString text = "The input files lie in different coordinate systems:\n";
    for (int i = 0; i < files.size(); ++i)
        text += QFileInfo(files[i]).fileName() + ": " + referenceName(wkts[size_t(i)]) + "\n";
    text += "The output will carry the coordinate system of " + QFileInfo(files.first()).fileName() +
            " and no point is reprojected. Do you want to go on?";
    return text;
}

}  // namespace InputReferences
