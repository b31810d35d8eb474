// verdanta-cli: batch processing on the same libraries as the desktop
// application. Shape of every subcommand:
//   verdanta-cli TOOL [OPTIONS] INPUT... -o OUTPUT
// Exit status 0 on success, 1 with the message on standard error otherwise.

#include "FileProperties.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <functional>

namespace {

struct Command {
    const char *name;
    const char *summary;
    const char *usage;
    std::function<int(const QStringList &)> run;
};

void printErr(const QString &text) { std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData()); }
void printOut(const QString &text) { std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData()); }

int info(const QStringList &args)
{
    QStringList files;
    for (const QString &a : args) {
        if (a == "--yes")
            continue;  // accepted by every subcommand; info asks nothing
        if (a.startsWith("--")) {
            printErr("Unknown option " + a);
            return 1;
        }
        files << a;
    }
    if (files.isEmpty()) {
        printErr("info needs at least one file");
        return 1;
    }
    int status = 0;
    for (int i = 0; i < files.size(); ++i) {
        FileProperties::Rows rows;
        QString error;
        if (!FileProperties::describe(files[i], rows, &error)) {
            printErr("Could not open the specified file! " + files[i] +
                     (error.isEmpty() ? QString() : " (" + error + ")"));
            status = 1;
            continue;
        }
        if (i > 0)
            printOut(QString());
        for (const auto &row : rows)
            printOut(row.first + ": " + row.second);
    }
    return status;
}

const std::vector<Command> &commands()
{
    static const std::vector<Command> list = {
        {"info", "print the properties of LAS, GeoTIFF, shapefile and CSV files",
         "verdanta-cli info FILE...", info},
    };
    return list;
}

void usage(FILE *out)
{
    std::fprintf(out, "Usage: verdanta-cli TOOL [OPTIONS] INPUT... -o OUTPUT\n\nTools:\n");
    for (const auto &c : commands())
        std::fprintf(out, "  %-12s %s\n", c.name, c.summary);
    std::fprintf(out, "\nverdanta-cli TOOL --help lists the options of a tool with their defaults.\n");
}

}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == "--help" || args.first() == "-h") {
        usage(args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? 1 : 0;
    }
    const QString name = args.takeFirst();
    for (const auto &c : commands()) {
        if (name == c.name) {
            if (args.contains("--help")) {
                std::printf("Usage: %s\n", c.usage);
                return 0;
            }
            return c.run(args);
        }
    }
    printErr("Unknown tool " + name);
    usage(stderr);
    return 1;
}
