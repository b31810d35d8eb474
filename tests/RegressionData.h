#pragma once
// Test data of the regression tools: a small stand with a known canopy and
// field plots whose target follows it.

#include "LasIO.h"

#include <QFile>
#include <QString>

#include <random>
#include <vector>

namespace RegressionData {

// A stand of 120 m x 60 m at (1000, 2000) whose canopy height rises from
// 4 m in the west to 28 m in the east, 3 points per m² (every third a
// ground return), intensity growing with height.
inline double canopyAt(double x) { return 4.0 + 24.0 * (x - 1000.0) / 120.0; }

inline std::vector<VerdantaIO::PointCloud> stand(uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, 1);
    std::vector<VerdantaIO::PointCloud> points;
    for (int k = 0; k < 120 * 60 * 3; ++k) {
        VerdantaIO::PointCloud p;
        p.x = 1000 + 120 * u(rng);
        p.y = 2000 + 60 * u(rng);
        const bool ground = k % 3 == 0;
        p.z = ground ? 0.05 * u(rng) : canopyAt(p.x) * (0.6 + 0.4 * u(rng));
        p.returnNumber = ground ? 2 : 1;
        p.numberOfReturns = 2;
        p.intensity = static_cast<uint16_t>(100 + 10 * p.z);
        points.push_back(p);
    }
    return points;
}

inline bool writeLas(const QString &path, std::vector<VerdantaIO::PointCloud> points)
{
    VerdantaIO::PointHeader h;
    h.pointDataFormat = 1;
    h.pointRecordLength = 28;
    return VerdantaIO::WriteLasFile(QFile::encodeName(path).toStdString(), h, points);
}

inline bool writeText(const QString &path, const QString &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Text) && f.write(text.toUtf8()) == text.toUtf8().size();
}

// Plots on a 10 m grid over the stand, target 5 x canopy height.
inline QString plotFile()
{
    QString text = "ID,PX,PY,Volume\n";
    int id = 0;
    for (double x = 1010; x <= 1110; x += 10)
        for (double y = 2010; y <= 2050; y += 10)
            text += QString("%1,%2,%3,%4\n").arg(++id).arg(x).arg(y).arg(5 * canopyAt(x));
    return text;
}

}  // namespace RegressionData
