#include "Workflow.h"

#include "Catalog.h"
#include "CatalogRun.h"
#include "GridExtent.h"
#include "LasIO.h"
#include "RasterIO.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>
#include <QThread>

#include <gdal_utils.h>

#include <algorithm>
#include <cmath>

namespace Workflow {

namespace {

std::string local(const QString &path) { return QFile::encodeName(path).toStdString(); }
QString fromLocal(const std::string &s) { return QFile::decodeName(QByteArray::fromStdString(s)); }

QString absolute(const QString &path) { return QDir::cleanPath(QDir::current().absoluteFilePath(path)); }

// A step's arguments, sorted out.
struct Parsed {
    const Tool *tool = nullptr;
    QStringList options;  // verbatim, file values made absolute
    QStringList inputs;   // positional arguments, absolute
    QString output;       // the step's final output, absolute
    QMap<QString, QString> values;
    QStringList files;    // every file the step reads
    QString tileExtension;
    QString name;         // "s1_dem"
    double buffer = 0, bytesPerPoint = 0, block = 0, cell = 0;
};

bool parseStep(const Step &step, int index, Parsed &p, QString &error)
{
    const ToolSpec &spec = step.tool->spec;
    p.tool = step.tool;
    p.name = "s" + QString::number(index + 1) + "_" + QString(spec.name).replace('-', '_');
    for (const ParamSpec &param : spec.params)
        p.values[param.option] = param.defaultValue;
    const QStringList &a = step.args;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i] == "--yes")
            continue;
        if (a[i] == "-o" || a[i] == "--output") {
            if (i + 1 >= a.size()) {
                error = spec.name + ": " + a[i] + " needs a value";
                return false;
            }
            p.output = absolute(a[++i]);
            continue;
        }
        if (a[i] == "--window") {
            error = spec.name + ": plan sets the windows of the tiles itself; leave --window out";
            return false;
        }
        if (a[i].startsWith("--")) {
            const ParamSpec *param = spec.param(a[i].mid(2));
            if (!param) {
                error = spec.name + ": Unknown option " + a[i];
                return false;
            }
            if (param->kind == ParamSpec::Flag) {
                p.options << a[i];
                p.values[param->option] = "1";
                continue;
            }
            if (i + 1 >= a.size()) {
                error = spec.name + ": " + a[i] + " needs a value";
                return false;
            }
            QString v = a[++i];
            if (param->kind == ParamSpec::File || param->kind == ParamSpec::Raster) {
                v = absolute(v);
                p.files << v;
            }
            p.options << a[i - 1] << v;
            p.values[param->option] = v;
            continue;
        }
        const QString v = absolute(a[i]);
        p.inputs << v;
        p.files << v;
        if (!spec.positionalParam.isEmpty())
            p.values[spec.positionalParam] = v;
    }
    if (p.output.isEmpty()) {
        error = spec.name + ": give the step's final output with -o FINAL";
        return false;
    }
    if (!spec.tiles.untileable.isEmpty()) {
        error = spec.name + " cannot be tiled: " + spec.tiles.untileable;
        return false;
    }
    if (spec.output == OutputKind::Folder) {
        error = spec.name + " writes a folder of files; plan assembles tools that write one output";
        return false;
    }
    const QString ext = QFileInfo(p.output).suffix().toLower();
    p.tileExtension = ext == "vpc" || ext == "las" ? "las" : ext == "vrt" || ext == "tif" ? "tif" : ext == "csv" ? "csv" : "";
    if (p.tileExtension.isEmpty()) {
        error = spec.name + ": plan assembles rasters (.vrt, .tif), LAS (.vpc, .las) and tables (.csv), not " +
                QFileInfo(p.output).fileName();
        return false;
    }
    if (spec.lasInputs && p.inputs.size() != 1) {
        error = spec.name + ": give one input, the catalogue (.vpc) to cut into tiles";
        return false;
    }
    const TileRule &rule = spec.tiles;
    p.cell = std::max(p.values.value(rule.cellOption).toDouble(), p.values.value(rule.cellOptionY).toDouble());
    p.buffer = rule.bufferFor(p.values, p.cell);
    p.bytesPerPoint = rule.bytesPerPoint;
    p.block = rule.blockCells > 0 ? rule.blockCells * p.cell : rule.blockSize;
    return true;
}

// The extent, density (points or cells per square metre) and the file
// footprints the tiles are laid over.
struct Extent {
    CatalogRun::Window bounds;
    double density = 0;
    std::vector<CatalogRun::Window> footprints;
};

bool extentOf(const Parsed &p, Extent &e, QString &error)
{
    if (!p.tool->spec.lasInputs) {
        const QString raster = p.files.value(0);
        VerdantaIO::CRasterIO r;
        if (raster.isEmpty() || !r.LoadFile(local(raster))) {
            error = p.tool->spec.name + ": " + (raster.isEmpty() ? "no raster given" : fromLocal(r.lastError()));
            return false;
        }
        const auto &g = r.geoTransform;
        e.bounds = {g[0], g[3] + r.height * g[5], g[0] + r.width * g[1], g[3], true};
        e.density = 1.0 / std::max(1e-12, std::fabs(g[1] * g[5]));
        e.footprints.push_back(e.bounds);
        return true;
    }
    const QString input = p.inputs.first();
    std::string why;
    VerdantaIO::Catalog catalog;
    if (VerdantaIO::IsCatalogPath(local(input))) {
        if (!VerdantaIO::ReadCatalog(local(input), catalog, why)) {
            error = fromLocal(why);
            return false;
        }
    } else {
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(local(input))) {
            error = input + ": " + fromLocal(las.lastError());
            return false;
        }
        VerdantaIO::CatalogFile f;
        f.minX = las.header.minX; f.maxX = las.header.maxX; f.minY = las.header.minY; f.maxY = las.header.maxY;
        f.count = las.header.numberOfPointRecords;
        catalog.files.push_back(f);
        catalog.addBounds(f);
    }
    e.bounds = {catalog.minX, catalog.minY, catalog.maxX, catalog.maxY, true};
    double area = 0;
    for (const auto &f : catalog.files) {
        e.footprints.push_back({f.minX, f.minY, f.maxX, f.maxY, true});
        area += std::max(1.0, (f.maxX - f.minX) * (f.maxY - f.minY));
    }
    e.density = double(catalog.count) / std::max(1.0, area);
    return true;
}

// A shell command as a Python string literal for Snakemake's `shell:`
// (braces doubled except in the placeholders given).
QString pyShell(const QString &command)
{
    QString t = command;
    t.replace('\\', "\\\\").replace('"', "\\\"");
    return "\"" + t + "\"";
}
QString literal(const QString &s)
{
    QString t = s;
    t.replace('{', "{{").replace('}', "}}");
    return t;
}
QString pyString(const QString &s)
{
    QString t = s;
    t.replace('\\', "\\\\").replace('"', "\\\"");
    return "\"" + t + "\"";
}

double jobBytes(const Parsed &p, double density, double tile)
{
    const double side = tile + 2 * p.buffer;
    return p.bytesPerPoint * density * side * side + 64.0 * 1024 * 1024;
}

// How plan sizes tiles when not told: the points a job reads grow with the
// buffer as (T + 2b)^2 / T^2, 21 % for 500 m tiles with a 25 m buffer; at
// T = 41 b they grow by 10 %. Larger tiles also spread a job's fixed costs
// (start, catalogue, output) over more points.
const QString kTileRule = "the smallest size at which the buffer (%1 m) adds at most 10 % to the points a job "
                          "reads, at least 500 m, in whole files of the catalogue; smaller, to no less than one "
                          "file, while there are fewer than two tiles per worker; halved while a job would not "
                          "fit its share of the memory.";

double autoTileSize(const Extent &e, double buffer, double block, int workers)
{
    const double wanted = std::max(500.0, 2 * buffer / (std::sqrt(1.1) - 1));
    // Whole files: tiles on the catalogue's files read them from start to
    // end rather than through their index.
    double side = 0;
    std::vector<double> sides;
    for (const auto &f : e.footprints)
        sides.push_back(std::round(std::sqrt(std::max(0.0, (f.maxX - f.minX) * (f.maxY - f.minY)))));
    if (!sides.empty()) {
        std::nth_element(sides.begin(), sides.begin() + sides.size() / 2, sides.end());
        side = sides[sides.size() / 2];
    }
    const double step = std::max(side >= 1 ? side : 100.0, block);
    auto tiles = [&](double t) {
        return std::ceil((e.bounds.maxX - e.bounds.minX) / t - 1e-9) *
               std::ceil((e.bounds.maxY - e.bounds.minY) / t - 1e-9);
    };
    // Every worker busy: a tile left over when the others are done keeps
    // one worker alone at the end, a smaller share of the run the more
    // tiles each worker has.
    double tile = std::ceil(wanted / step - 1e-9) * step;
    while (tile > step && tiles(tile) < 2.0 * workers)
        tile -= step;
    return tile;
}

bool nonEmpty(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() || info.size() == 0)
        return false;
    if (info.suffix().toLower() == "las") {
        VerdantaIO::CLASIO las;
        return las.LoadFile(local(path)) && las.header.numberOfPointRecords > 0;
    }
    return true;
}

bool assembleTable(const QStringList &parts, const QString &output, QString &error)
{
    QByteArray header;
    struct Row {
        double x, y;
        QByteArray text;
    };
    std::vector<Row> rows;
    for (const QString &part : parts) {
        QFile f(part);
        if (!f.open(QIODevice::ReadOnly)) {
            error = "Cannot read " + part;
            return false;
        }
        bool first = true;
        while (!f.atEnd()) {
            QByteArray line = f.readLine();
            if (!line.endsWith('\n'))
                line += '\n';
            if (first) {
                if (header.isEmpty())
                    header = line;
                first = false;
                continue;
            }
            const QList<QByteArray> fields = line.split(',');
            rows.push_back({fields.value(0).trimmed().toDouble(), fields.value(1).trimmed().toDouble(), line});
        }
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
    QSaveFile out(output);
    if (!out.open(QIODevice::WriteOnly)) {
        error = "Cannot write " + output;
        return false;
    }
    out.write(header);
    for (const Row &r : rows)
        out.write(r.text);
    if (!out.commit()) {
        error = "Cannot write " + output;
        return false;
    }
    return true;
}

bool assembleRaster(const QStringList &parts, const QString &output, QString &error)
{
    GDALAllRegister();
    const bool cog = QFileInfo(output).suffix().toLower() != "vrt";
    const QString vrt = cog ? output + ".parts.vrt" : output;
    std::vector<std::string> names;
    for (const QString &p : parts)
        names.push_back(local(p));
    std::vector<const char *> list;
    for (const auto &n : names)
        list.push_back(n.c_str());
    int failed = 0;
    GDALDatasetH mosaic = GDALBuildVRT(local(vrt).c_str(), int(list.size()), nullptr, list.data(), nullptr, &failed);
    if (!mosaic || failed) {
        error = "Cannot build the mosaic " + vrt;
        if (mosaic)
            GDALClose(mosaic);
        return false;
    }
    GDALClose(mosaic);
    if (!cog)
        return true;
    std::string why;
    const bool ok = VerdantaIO::TranslateRaster(local(vrt), local(output),
                                                {"-of", "COG", "-co", "COMPRESS=DEFLATE", "-co", "BIGTIFF=IF_SAFER"},
                                                why);
    QFile::remove(vrt);
    if (!ok)
        error = fromLocal(why);
    return ok;
}

bool assembleLas(const QStringList &parts, const QString &output, QString &error)
{
    VerdantaIO::PointHeader header;
    bool first = true;
    for (const QString &part : parts) {
        VerdantaIO::CLASIO las;
        if (!las.LoadFile(local(part)) || !las.ReadData(nullptr)) {
            error = part + ": " + fromLocal(las.lastError());
            return false;
        }
        std::string why;
        const bool ok = first ? VerdantaIO::WriteLasFile(local(output), las.header, las.points, &why)
                              : VerdantaIO::AppendLas(local(output), header, las.points);
        if (first)
            header = las.header;
        first = false;
        if (!ok) {
            error = "Cannot write " + output + (why.empty() ? QString() : ": " + fromLocal(why));
            return false;
        }
    }
    return true;
}

}  // namespace

double parseBytes(const QString &text)
{
    static const QRegularExpression form("^\\s*([0-9.]+)\\s*([kKmMgGtT]?)[iI]?[bB]?\\s*$");
    const auto m = form.match(text);
    if (!m.hasMatch())
        return 0;
    double v = m.captured(1).toDouble();
    const QString unit = m.captured(2).toUpper();
    const double k = 1024.0;
    if (unit == "K") v *= k;
    else if (unit == "M") v *= k * k;
    else if (unit == "G") v *= k * k * k;
    else if (unit == "T") v *= k * k * k * k;
    return v;
}

bool assemble(const QStringList &parts, const QString &output, QString &error)
{
    QStringList kept;
    for (const QString &p : parts) {
        if (!QFileInfo::exists(p)) {
            error = p + " is missing";
            return false;
        }
        if (nonEmpty(p))
            kept << p;
    }
    const QString ext = QFileInfo(output).suffix().toLower();
    if (ext == "csv")
        return assembleTable(kept, output, error);
    if (kept.isEmpty()) {
        error = "No tile holds any data; " + output + " was not written";
        return false;
    }
    if (ext == "vrt" || ext == "tif")
        return assembleRaster(kept, output, error);
    if (ext == "las")
        return assembleLas(kept, output, error);
    if (ext == "vpc") {
        std::vector<std::string> files;
        for (const QString &p : kept)
            files.push_back(local(p));
        std::string why;
        if (!VerdantaIO::WriteCatalog(local(output), files, why)) {
            error = fromLocal(why);
            return false;
        }
        return true;
    }
    error = "assemble writes .vrt, .tif, .vpc, .las or .csv, not " + QFileInfo(output).fileName();
    return false;
}

bool writePlan(const PlanRequest &request, Plan &plan, QString &error)
{
    if (request.steps.isEmpty()) {
        error = "plan needs a tool to run";
        return false;
    }
    QList<Parsed> steps;
    for (int i = 0; i < request.steps.size(); ++i) {
        Parsed p;
        if (!parseStep(request.steps[i], i, p, error))
            return false;
        steps << p;
    }
    Extent extent;
    if (!extentOf(steps.first(), extent, error))
        return false;

    // Tile size and workers: each job's memory (its points with the
    // buffer, times the tool's bytes per point) within the memory given to
    // the workers together.
    const double memory = request.memory > 0 ? request.memory : 2.0 * double(GridExtent::memoryBudget());
    const int cores = request.cores > 0 ? request.cores : std::max(1, QThread::idealThreadCount());
    double block = 0, buffer = 0;
    for (const Parsed &p : steps) {
        block = std::max(block, p.block);
        buffer = std::max(buffer, p.buffer);
    }
    double tile = request.tileSize > 0 ? request.tileSize : autoTileSize(extent, buffer, block, cores);
    if (!(request.tileSize > 0))
        plan.lines << "Tiles of " + QString::number(tile) + " m: " + kTileRule.arg(buffer);
    if (block > 0 && std::fmod(tile, block) != 0) {
        tile = std::ceil(tile / block) * block;
        plan.lines << "Tiles of " + QString::number(tile) + " m: a step works in blocks of " +
                          QString::number(block) + " m, and tiles follow them.";
    }
    auto worst = [&](double t) {
        double bytes = 0;
        for (const Parsed &p : steps)
            bytes = std::max(bytes, jobBytes(p, extent.density, t));
        return bytes;
    };
    // A tile size of its own choosing fits `cores` jobs at once; one given
    // fits at least one job.
    const double perJobMemory = request.tileSize > 0 ? memory : memory / cores;
    while (worst(tile) > perJobMemory && tile > 10 && block == 0) {
        tile /= 2;
        plan.lines << "Tiles halved to " + QString::number(tile) + " m to fit a job in the memory given.";
    }
    const double perJob = worst(tile);
    plan.workers = std::clamp(int(memory / perJob), 1, cores);
    plan.tileSize = tile;

    const CatalogRun::Window &b = extent.bounds;
    const int cols = std::max(1, int(std::ceil((b.maxX - b.minX) / tile - 1e-9)));
    const int rows = std::max(1, int(std::ceil((b.maxY - b.minY) / tile - 1e-9)));
    QStringList tiles;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const CatalogRun::Window w{b.minX + c * tile, b.maxY - (r + 1) * tile, b.minX + (c + 1) * tile,
                                       b.maxY - r * tile, true};
            bool covered = false;
            for (const auto &f : extent.footprints)
                covered = covered || (w.minX <= f.maxX && f.minX < w.maxX && w.minY <= f.maxY && f.minY < w.maxY);
            if (covered)
                tiles << QString("    \"r%1_c%2\": \"%3\",")
                             .arg(r, 3, 10, QChar('0'))
                             .arg(c, 3, 10, QChar('0'))
                             .arg(CatalogRun::windowText(w));
        }
    plan.tiles = tiles.size();

    QDir().mkpath(request.workdir);
    const QString workdir = absolute(request.workdir);
    plan.snakefile = QDir(workdir).filePath("Snakefile");
    const double memoryMb = std::ceil(memory / (1024.0 * 1024.0));
    const QString run = "snakemake -s " + ToolChecks::shellQuote(plan.snakefile) + " --cores " + QString::number(plan.workers) +
                        " --resources mem_mb=" + QString::number(memoryMb, 'f', 0);

    QString text;
    QTextStream s(&text);
    s << "# Written by verdanta-cli plan: " << plan.tiles << " tiles of " << tile << " m, "
      << steps.size() << (steps.size() == 1 ? " step" : " steps") << ".\n"
      << "# Run it here with\n#   " << run << "\n"
      << "# and on a cluster through a Snakemake profile (--profile, or --cluster/--executor): every tile job\n"
      << "# declares the memory it needs (mem_mb). A run started again redoes only the jobs whose outputs are\n"
      << "# missing; after a killed run add --rerun-incomplete.\n\n"
      << "workdir: " << pyString(workdir) << "\n\n"
      << "TILES = {\n" << tiles.join('\n') << "\n}\n\n"
      << "localrules: all";
    for (const Parsed &p : steps)
        s << ", " << p.name;
    s << "\n\nrule all:\n    input:\n";
    for (const Parsed &p : steps)
        s << "        " << pyString(p.output) << ",\n";
    const QString program = ToolChecks::shellQuote(request.program);
    // Tile outputs by absolute path, so that a run can be asked for single
    // tiles from anywhere.
    QString tiles_ = workdir + "/tiles/";
    tiles_.replace('\\', "\\\\").replace('"', "\\\"");
    // Snakemake's record of each tile job: its time and peak memory.
    const QString benchmarks_ = QString(tiles_).replace(QRegularExpression("tiles/$"), "benchmarks/");
    for (const Parsed &p : steps) {
        QStringList inputs;
        for (const QString &f : p.files)
            inputs << "        " + pyString(f) + ",";
        QStringList command{program, p.tool->spec.name};
        for (const QString &o : p.options)
            command << ToolChecks::shellQuote(o);
        command << "--yes" << "--window" << "{params.window}";
        for (const QString &in : p.inputs)
            command << ToolChecks::shellQuote(in);
        command << "-o" << "{output}";
        QString shell;
        for (const QString &part : command)
            shell += (shell.isEmpty() ? "" : " ") + (part.startsWith("{") ? part : literal(part));
        const double mb = std::ceil(jobBytes(p, extent.density, tile) / (1024.0 * 1024.0));
        s << "\n# " << p.tool->spec.title << ": buffer " << p.buffer << " m (" << p.tool->spec.tiles.describe()
          << "), about " << mb << " MB a tile.\n"
          << "rule " << p.name << "_tile:\n"
          << "    input:\n" << inputs.join('\n') << "\n"
          << "    output: \"" << tiles_ << p.name << "/{tile}." << p.tileExtension << "\"\n"
          << "    params: window=lambda wildcards: TILES[wildcards.tile]\n"
          << "    benchmark: \"" << benchmarks_ << p.name << "/{tile}.tsv\"\n"
          << "    resources: mem_mb=" << QString::number(mb, 'f', 0) << "\n"
          << "    shell: " << pyShell(shell) << "\n\n"
          << "rule " << p.name << ":\n"
          << "    input: expand(\"" << tiles_ << p.name << "/{tile}." << p.tileExtension << "\", tile=TILES)\n"
          << "    output: " << pyString(p.output) << "\n"
          << "    shell: " << pyShell(literal(program + " assemble -o ") + "{output} {input}") << "\n";
    }
    s.flush();
    QSaveFile out(plan.snakefile);
    if (!out.open(QIODevice::WriteOnly) || out.write(text.toUtf8()) < 0 || !out.commit()) {
        error = "Cannot write " + plan.snakefile;
        return false;
    }
    plan.lines << "Wrote " + plan.snakefile + ": " + QString::number(plan.tiles) + " tiles of " +
                      QString::number(tile) + " m, " + QString::number(plan.workers) + " workers of about " +
                      QString::number(std::ceil(perJob / (1024.0 * 1024.0)), 'f', 0) + " MB.";
    plan.lines << "Run it with: " + run;
    return true;
}

}  // namespace Workflow
