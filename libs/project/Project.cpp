#include "Project.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace {

QString fromLocal(const std::string &s) { return QFile::decodeName(QByteArray::fromStdString(s)); }
std::string toLocal(const QString &s) { return QFile::encodeName(s).toStdString(); }

struct Group {
    const char *element;
    std::vector<ProjectEntry> Project::*list;
};
const Group kGroups[] = {
    {"LasLayers", &Project::lasLayers},
    {"RasterLayers", &Project::rasterLayers},
    {"VectorLayers", &Project::vectorLayers},
    {"TableLayers", &Project::tableLayers},
};

}  // namespace

bool Project::createXml(const Project &project)
{
    const QString file = fromLocal(project.path);
    const QDir base = QFileInfo(file).absoluteDir();
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        error_ = toLocal(out.errorString());
        return false;
    }
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement("VerdantaProject");
    xml.writeAttribute("version", QString::number(kFormatVersion));
    xml.writeAttribute("name", fromLocal(project.name));
    for (const Group &g : kGroups) {
        xml.writeStartElement(g.element);
        for (const ProjectEntry &e : project.*(g.list)) {
            const QString absolute = QFileInfo(fromLocal(e.path)).absoluteFilePath();
            xml.writeStartElement("Layer");
            xml.writeAttribute("name", fromLocal(e.name));
            xml.writeAttribute("path", absolute);
            xml.writeAttribute("relative", base.relativeFilePath(absolute));
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    if (xml.hasError() || !out.commit()) {
        error_ = "The project file could not be written";
        return false;
    }
    return true;
}

bool Project::readXml(Project &project, const char *filePath)
{
    const QString file = filePath ? QFile::decodeName(filePath) : QString();
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly)) {
        error_ = "The project file cannot be opened";
        return false;
    }
    const QDir base = QFileInfo(file).absoluteDir();
    Project read;
    QXmlStreamReader xml(&in);
    bool root = false;
    int depth = 0;
    std::vector<ProjectEntry> *group = nullptr;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isEndElement()) {
            --depth;
            continue;
        }
        if (!xml.isStartElement())
            continue;
        ++depth;
        const QXmlStreamAttributes a = xml.attributes();
        if (depth == 1) {
            bool ok = false;
            const int version = a.value("version").toInt(&ok);
            if (xml.name() != QLatin1String("VerdantaProject") || !ok || version < 1 ||
                version > kFormatVersion) {
                error_ = "Not a Verdanta project file of a known version";
                return false;
            }
            read.name = toLocal(a.value("name").toString());
            root = true;
        } else if (depth == 2) {
            group = nullptr;
            for (const Group &g : kGroups)
                if (xml.name() == QLatin1String(g.element))
                    group = &(read.*(g.list));
            if (!group) {
                error_ = "Unknown element in the project file";
                return false;
            }
        } else if (depth == 3 && xml.name() == QLatin1String("Layer")) {
            QString path = a.value("path").toString();
            const QString relative = a.value("relative").toString();
            if (!QFileInfo::exists(path) && !relative.isEmpty()) {
                const QString moved = QDir::cleanPath(base.absoluteFilePath(relative));
                if (QFileInfo::exists(moved))
                    path = moved;
            }
            if (path.isEmpty()) {
                error_ = "A layer without a path";
                return false;
            }
            group->push_back({toLocal(a.value("name").toString()), toLocal(QDir::toNativeSeparators(path))});
        } else {
            error_ = "Unknown element in the project file";
            return false;
        }
    }
    if (xml.hasError() || !root) {
        error_ = "The project file is malformed";
        return false;
    }
    read.path = toLocal(QFileInfo(file).absoluteFilePath());
    project.name = read.name;
    project.path = read.path;
    project.lasLayers = read.lasLayers;
    project.rasterLayers = read.rasterLayers;
    project.vectorLayers = read.vectorLayers;
    project.tableLayers = read.tableLayers;
    return true;
}
