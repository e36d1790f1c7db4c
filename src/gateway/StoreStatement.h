#pragma once

// One statement's outcome, shared by the store's connection machinery and its tables' reads and writes.

#include "Store.h"

#include <QSqlQuery>

namespace gateway {

struct Store::Statement {
    QSqlQuery query;
    bool ok;
    bool retryable;  // failed before anything of it reached the database
};

}  // namespace gateway
