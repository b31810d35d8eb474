#pragma once
// Every tool of the application, in menu order. verdanta-cli's subcommands,
// the main window's tool actions and the user guide are all built from this
// one list: a new tool adds its declaration and one line here.

#include "ToolDeclaration.h"

#include <vector>

namespace ToolRegistry {

const std::vector<const Tool *> &tools();

// The tool whose CLI name is `name`, or null.
const Tool *find(const QString &name);

}  // namespace ToolRegistry
