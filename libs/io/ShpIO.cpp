#include "ShpIO.h"

#include "RasterIO.h"

#include <cpl_conv.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace VerdantaIO {

namespace {

void addCurve(const OGRSimpleCurve *curve, bool hole, ShpFeature &f)
{
    ShpPart part;
    part.hole = hole;
    const int n = curve->getNumPoints();
    part.x.resize(n);
    part.y.resize(n);
    for (int i = 0; i < n; ++i) {
        part.x[i] = curve->getX(i);
        part.y[i] = curve->getY(i);
    }
    f.vertexCount += n;
    f.parts.push_back(std::move(part));
}

void addGeometry(const OGRGeometry *g, ShpFeature &f)
{
    if (!g)
        return;
    switch (wkbFlatten(g->getGeometryType())) {
    case wkbPoint: {
        const auto *p = g->toPoint();
        ShpPart part;
        part.x.push_back(p->getX());
        part.y.push_back(p->getY());
        f.vertexCount += 1;
        f.parts.push_back(std::move(part));
        break;
    }
    case wkbLineString:
        addCurve(g->toLineString(), false, f);
        break;
    case wkbPolygon: {
        const auto *poly = g->toPolygon();
        if (poly->getExteriorRing())
            addCurve(poly->getExteriorRing(), false, f);
        for (int i = 0; i < poly->getNumInteriorRings(); ++i)
            addCurve(poly->getInteriorRing(i), true, f);
        break;
    }
    case wkbMultiPoint:
    case wkbMultiLineString:
    case wkbMultiPolygon:
    case wkbGeometryCollection: {
        const auto *c = g->toGeometryCollection();
        for (int i = 0; i < c->getNumGeometries(); ++i)
            addGeometry(c->getGeometryRef(i), f);
        break;
    }
    default:
        break;
    }
}

int kindOf(OGRwkbGeometryType t)
{
    switch (wkbFlatten(t)) {
    case wkbPoint:
    case wkbMultiPoint:
        return CShpIO::Points;
    case wkbLineString:
    case wkbMultiLineString:
        return CShpIO::Lines;
    case wkbPolygon:
    case wkbMultiPolygon:
        return CShpIO::Polygons;
    default:
        return CShpIO::Unknown;
    }
}

}  // namespace

CShpIO::CShpIO() { EnsureGdal(); }
CShpIO::~CShpIO() { Close(); }

void CShpIO::Close()
{
    if (dataset_) {
        GDALClose(dataset_);
        dataset_ = nullptr;
    }
}

bool CShpIO::LoadFile(const std::string &filePath)
{
    Close();
    path = filePath;
    dataset_ = static_cast<GDALDataset *>(
        GDALOpenEx(filePath.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
    if (!dataset_ || dataset_->GetLayerCount() < 1) {
        error_ = "Could not open the shapefile " + filePath;
        Close();
        return false;
    }
    OGRLayer *layer = dataset_->GetLayer(0);
    geometryType = kindOf(layer->GetGeomType());
    OGREnvelope env;
    if (layer->GetExtent(&env, TRUE) == OGRERR_NONE) {
        minX = env.MinX; minY = env.MinY; maxX = env.MaxX; maxY = env.MaxY;
    }
    spatialReference = WktOf(layer->GetSpatialRef());
    featureCount = static_cast<int>(layer->GetFeatureCount());
    return true;
}

int CShpIO::layerCount() const { return dataset_ ? dataset_->GetLayerCount() : 0; }

OGRLayer *CShpIO::GetLayerByIndex(int index)
{
    if (!dataset_ || index < 0 || index >= dataset_->GetLayerCount())
        return nullptr;
    return dataset_->GetLayer(index);
}

bool CShpIO::GetLayerData(OGRLayer *layer)
{
    features.clear();
    featureCount = 0;
    if (!layer) {
        error_ = "No layer";
        return false;
    }
    geometryType = kindOf(layer->GetGeomType());
    layer->ResetReading();
    bool first = true;
    while (OGRFeature *feature = layer->GetNextFeature()) {
        std::unique_ptr<OGRFeature, void (*)(OGRFeature *)> owned(feature, OGRFeature::DestroyFeature);
        ShpFeature f;
        addGeometry(feature->GetGeometryRef(), f);
        for (const auto &part : f.parts)
            for (size_t i = 0; i < part.x.size(); ++i) {
                if (first) {
                    minX = maxX = part.x[i];
                    minY = maxY = part.y[i];
                    first = false;
                } else {
                    minX = std::min(minX, part.x[i]); maxX = std::max(maxX, part.x[i]);
                    minY = std::min(minY, part.y[i]); maxY = std::max(maxY, part.y[i]);
                }
            }
        features.push_back(std::move(f));
    }
    featureCount = static_cast<int>(features.size());
    return true;
}

bool CShpIO::WriterFile(const std::string &filePath)
{
    GDALDriver *driver = GetGDALDriverManager()->GetDriverByName("ESRI Shapefile");
    if (!driver) {
        error_ = "The shapefile driver is missing";
        return false;
    }
    OGRwkbGeometryType type;
    switch (geometryType) {
    case Points: type = wkbPoint; break;
    case Lines: type = wkbLineString; break;
    case Polygons: type = wkbPolygon; break;
    default:
        error_ = "Unknown geometry type";
        return false;
    }
    driver->Delete(filePath.c_str());
    std::unique_ptr<GDALDataset, void (*)(GDALDataset *)> ds(
        driver->Create(filePath.c_str(), 0, 0, 0, GDT_Unknown, nullptr),
        [](GDALDataset *d) { GDALClose(d); });
    if (!ds) {
        error_ = "Could not create the shapefile " + filePath;
        return false;
    }
    OGRSpatialReference srs;
    const bool hasSrs = !spatialReference.empty() &&
                        srs.importFromWkt(spatialReference.c_str()) == OGRERR_NONE;
    OGRLayer *layer = ds->CreateLayer("layer", hasSrs ? &srs : nullptr, type, nullptr);
    if (!layer) {
        error_ = "Could not create the shapefile " + filePath;
        return false;
    }
    OGRFieldDefn idField("ID", OFTInteger);
    layer->CreateField(&idField);
    int id = 0;
    for (const ShpFeature &f : features) {
        std::unique_ptr<OGRFeature, void (*)(OGRFeature *)> feature(
            OGRFeature::CreateFeature(layer->GetLayerDefn()), OGRFeature::DestroyFeature);
        feature->SetField("ID", id++);
        std::unique_ptr<OGRGeometry> geometry;
        if (geometryType == Points) {
            if (f.parts.size() == 1 && f.parts[0].x.size() == 1) {
                geometry.reset(new OGRPoint(f.parts[0].x[0], f.parts[0].y[0]));
            } else {
                auto *mp = new OGRMultiPoint;
                for (const auto &part : f.parts)
                    for (size_t i = 0; i < part.x.size(); ++i)
                        mp->addGeometryDirectly(new OGRPoint(part.x[i], part.y[i]));
                geometry.reset(mp);
            }
        } else if (geometryType == Lines) {
            auto *ml = new OGRMultiLineString;
            for (const auto &part : f.parts) {
                auto *line = new OGRLineString;
                line->setPoints(static_cast<int>(part.x.size()), part.x.data(), part.y.data());
                ml->addGeometryDirectly(line);
            }
            geometry.reset(ml);
        } else {
            // Each outer ring starts a polygon; the holes after it belong to it.
            auto *mp = new OGRMultiPolygon;
            OGRPolygon *current = nullptr;
            for (const auto &part : f.parts) {
                auto *ring = new OGRLinearRing;
                ring->setPoints(static_cast<int>(part.x.size()), part.x.data(), part.y.data());
                ring->closeRings();
                if (!part.hole || !current) {
                    current = new OGRPolygon;
                    mp->addGeometryDirectly(current);
                }
                current->addRingDirectly(ring);
            }
            geometry.reset(mp);
        }
        feature->SetGeometry(geometry.get());
        if (layer->CreateFeature(feature.get()) != OGRERR_NONE) {
            error_ = "Could not write a feature to " + filePath;
            return false;
        }
    }
    return true;
}

}  // namespace VerdantaIO
