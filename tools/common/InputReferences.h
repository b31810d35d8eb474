#pragma once
// The coordinate systems of a run's LAS inputs, for tools that combine
// several inputs into one output: files under different systems would be
// joined under the first one's system, which silently puts them hundreds of
// kilometres apart, so the user is asked first.

#include <QString>
#include <QStringList>

namespace InputReferences {

// The question to ask when the inputs do not all share one coordinate
// system (a file without one counts as its own kind), naming each file and
// its system; empty when they agree or fewer than two files can be read.
QString mismatchQuestion(const QStringList &inputs);

// A short name of a WKT coordinate system ("WGS 84 / UTM zone 54S"), or
// "no coordinate system".
QString referenceName(const std::string &wkt);

}  // namespace InputReferences
