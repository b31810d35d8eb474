#include "ToolRegistry.h"

#include "CloudMetricsTools.h"
#include "CanopyTools.h"
#include "ClipTools.h"
#include "ConvertTools.h"
#include "ExtractTools.h"
#include "GroundFilterTool.h"
#include "LasDataTools.h"
#include "OutlierTool.h"
#include "RasterTools.h"
#include "TreeTools.h"
#include "RegressionTools.h"

namespace ToolRegistry {

const std::vector<const Tool *> &tools()
{
    static const std::vector<const Tool *> list = {
        &LasDataTools::merge(),   &LasDataTools::tile(),     &LasDataTools::normalize(),
        &OutlierTool::outliers(), &GroundFilterTool::ground(),
        &RasterTools::dem(),      &RasterTools::dsm(),       &RasterTools::chm(),
        &RasterTools::hillshade(), &RasterTools::lasToRaster(),
        &CloudMetricsTools::elevationMetrics(),
        &CloudMetricsTools::intensityMetrics(),
        &CanopyTools::cover(),
        &CanopyTools::gap(),
        &CanopyTools::lai(),
        &TreeTools::chmSegment(), &TreeTools::pointCloudSegment(),
        &ClipTools::circle(), &ClipTools::rectangle(), &ClipTools::polygon(),
        &ExtractTools::byClass(), &ExtractTools::byElevation(), &ExtractTools::byIntensity(), &ExtractTools::byReturn(),
        &ConvertTools::lasToAscii(), &ConvertTools::lasToVector(), &ConvertTools::boundary(),
        &RegressionTools::linear(), &RegressionTools::svr(), &RegressionTools::ann(),
    };
    return list;
}

const Tool *find(const QString &name)
{
    for (const Tool *t : tools())
        if (t->spec.name == name)
            return t;
    return nullptr;
}

}  // namespace ToolRegistry
