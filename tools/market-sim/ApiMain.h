#pragma once

#include <QCoreApplication>

#include <optional>

namespace sim {

// With "--role api" on the command line, serves the marketplace's API double until interrupted and gives the
// exit status; without it, nothing (the stand-in of the default role runs).
std::optional<int> apiRole(QCoreApplication& app);

}  // namespace sim
