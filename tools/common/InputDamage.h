#pragma once
// What a run should say about damaged LAS inputs: the files read in part
// (a truncated point block, more VLRs declared than fit) and the reason a
// file was refused. The libraries read around damage silently; the tools
// carry the remarks to the user.

#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace InputDamage {

// One file's remarks (CLASIO::warnings()), each as "path: remark".
QStringList remarks(const QString &input, const std::vector<std::string> &warnings);

// The remarks on every readable input, each as "path: remark", in input
// order; empty when every input is sound.
QStringList notes(const QStringList &inputs);

// "path: reason" for the first input that cannot be read; empty when all
// can.
QString firstRefusal(const QStringList &inputs);

// Library remarks as text.
QStringList fromLibrary(const std::vector<std::string> &remarks);

}  // namespace InputDamage
