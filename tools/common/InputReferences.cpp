#include "InputReferences.h"

#include "LasIO.h"

#include <QFile>
#include <QFileInfo>

#include <ogr_spatialref.h>

#include <memory>

namespace InputReferences {

namespace {

std::unique_ptr<OGRSpatialReference> parse(const std::string &wkt)
{
    if (wkt.empty())
        return nullptr;
    auto srs = std::make_unique<OGRSpatialReference>();
    srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (srs->importFromWkt(wkt.c_str()) != OGRERR_NONE)
        return nullptr;
    return srs;
}

// Two systems agree when OSR finds them the same (WKT texts of one system
// differ in spelling and in authority codes), or their texts are identical.
bool same(const std::string &a, const std::string &b)
{
    if (a == b)
        return true;
    const auto sa = parse(a), sb = parse(b);
    if (!sa || !sb)
        return false;
    const char *options[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", "CRITERION=EQUIVALENT_EXCEPT_AXIS_ORDER_GEOGCRS",
                             nullptr};
    return sa->IsSame(sb.get(), options);
}

}  // namespace

QString referenceName(const std::string &wkt)
{
    const auto srs = parse(wkt);
    if (!srs)
        return wkt.empty() ? QString("no coordinate system") : QString("an unreadable coordinate system");
    const char *name = srs->GetName();
    return name && *name ? QString::fromUtf8(name) : QString("an unnamed coordinate system");
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
        agree = same(wkts.front(), wkts[i]);
    if (agree)
        return QString();
    QString text = "The input files lie in different coordinate systems:\n";
    for (int i = 0; i < files.size(); ++i)
        text += QFileInfo(files[i]).fileName() + ": " + referenceName(wkts[size_t(i)]) + "\n";
    text += "The output will carry the coordinate system of " + QFileInfo(files.first()).fileName() +
            " and no point is reprojected. Do you want to go on?";
    return text;
}

bool sameReference(const std::string &a, const std::string &b) { return same(a, b); }

}  // namespace InputReferences
