#include "db/operation_log.h"

namespace qm::db {

namespace {

OperationLog& listener() {
    static OperationLog log;
    return log;
}

} // namespace

void setOperationLog(OperationLog log) {
    listener() = std::move(log);
}

bool hasOperationLog() {
    return static_cast<bool>(listener());
}

void logOperation(const Operation& operation) {
    if (listener())
        listener()(operation);
}

} // namespace qm::db
