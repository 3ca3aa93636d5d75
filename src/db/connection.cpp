#include "db/connection.h"

#include "app/common.h"
#include "app/error.h"
#include "app/installation.h"
#include "db/backend.h"
#include "db/paradox_backend.h"
#include "db/sqlite_backend.h"
#include "paradox/ascii.h"

namespace qm::db {

namespace {

constexpr const char* kJetPrefix = "PROVIDER=Microsoft.Jet.OLEDB.4.0;Data Source=";
constexpr const char* kJetSuffix = ";JET OLEDB:Database Password=";
constexpr const char* kParadoxPrefix =
    "Driver={Microsoft Paradox Driver (*.db )};DriverID=538;Fil=Paradox 5.X;DefaultDir=";
constexpr const char* kParadoxMiddle = ";Dbq=";
constexpr const char* kParadoxSuffix = ";CollatingSequence=ASCII;";

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}
bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

[[noreturn]] void closedObject() {
    throw Error(code::ObjectClosed, "Operation is not allowed when the object is closed.");
}

// The folder of a Paradox string. The folder stands twice, so it is found by its length rather
// than by splitting at semicolons, which a folder name may hold.
std::optional<std::string> paradoxFolder(const std::string& cs) {
    const std::string prefix = kParadoxPrefix, middle = kParadoxMiddle, suffix = kParadoxSuffix;
    if (!startsWith(cs, prefix) || !endsWith(cs, suffix))
        return std::nullopt;
    const std::string inner = cs.substr(prefix.size(), cs.size() - prefix.size() - suffix.size());
    if (inner.size() < middle.size() || (inner.size() - middle.size()) % 2 != 0)
        return std::nullopt;
    const std::size_t half = (inner.size() - middle.size()) / 2;
    const std::string first = inner.substr(0, half);
    if (inner.compare(half, middle.size(), middle) != 0 ||
        inner.substr(half + middle.size()) != first)
        return std::nullopt;
    return first;
}

std::optional<std::string> jetFile(const std::string& cs) {
    const std::string prefix = kJetPrefix, suffix = kJetSuffix;
    if (!startsWith(cs, prefix))
        return std::nullopt;
    std::string rest = cs.substr(prefix.size());
    if (endsWith(rest, suffix))
        return rest.substr(0, rest.size() - suffix.size());
    const auto semi = rest.find(';');
    return rest.substr(0, semi);
}

} // namespace

void MemoryCursor::moveNext() {
    if (eof())
        throw Error(code::Unspecified,
                    "Either BOF or EOF is True, or the current record has been deleted.");
    ++pos_;
}
std::string MemoryCursor::fieldName(int i) const {
    return columns_.at(static_cast<std::size_t>(i)).name;
}
int MemoryCursor::fieldType(int i) const {
    return columns_.at(static_cast<std::size_t>(i)).type;
}
Variant MemoryCursor::value(int i) const {
    if (eof())
        throw Error(code::Unspecified,
                    "Either BOF or EOF is True, or the current record has been deleted.");
    return rows_[pos_].at(static_cast<std::size_t>(i));
}

std::string workingDatabaseConnectionString(const std::string& applicationFolder) {
    return std::string(kJetPrefix) + applicationFolder + kSeparator + kWorkingDatabaseFile +
           kJetSuffix;
}

std::string workingDatabaseConnectionString() {
    return workingDatabaseConnectionString(workingDatabasePath().parent_path().string());
}

std::string paradoxConnectionString(const std::string& folder) {
    return std::string(kParadoxPrefix) + folder + kParadoxMiddle + folder + kParadoxSuffix;
}

Connection::Connection() = default;
Connection::~Connection() = default;

void Connection::open(const std::string& cs) {
    if (backend_)
        throw Error(code::Unspecified, "Operation is not allowed when the object is open.");
    if (auto folder = paradoxFolder(cs)) {
        auto paradox = std::make_unique<ParadoxBackend>(*folder, writeBack_);
        folder_ = paradox.get();
        backend_ = std::move(paradox);
    } else if (auto file = jetFile(cs)) {
        auto working = std::make_unique<SqliteBackend>(*file, mode_, writeBack_);
        working_ = working.get();
        backend_ = std::move(working);
    } else {
        throw Error(code::Unspecified,
                    "Provider cannot be found. It may not be properly installed: " + cs);
    }
    connectionString_ = cs;
}

Backend& Connection::backend() const {
    if (!backend_)
        closedObject();
    return *backend_;
}

SqliteBackend* Connection::workingBackend() const {
    if (!backend_)
        closedObject();
    return working_;
}

ParadoxBackend* Connection::paradoxBackend() const {
    if (!backend_)
        closedObject();
    return folder_;
}

std::unique_ptr<Cursor> Connection::openSchema(int queryType) {
    if (queryType != adSchemaTables)
        throw Error(code::Unspecified, "Object or provider is not capable of performing "
                                       "requested operation.");
    return backend().schema();
}

void Connection::close() {
    if (!backend_)
        closedObject();
    working_ = nullptr;
    folder_ = nullptr;
    backend_.reset();
    connectionString_.clear();
}

void Connection::beginTrans() {
    backend().beginTrans();
}
void Connection::commitTrans() {
    backend().commitTrans();
}
void Connection::rollbackTrans() {
    backend().rollbackTrans();
}

Recordset::Recordset() = default;
Recordset::~Recordset() = default;

void Recordset::attach(std::unique_ptr<Cursor> cursor) {
    cursor_ = std::move(cursor);
}

Cursor& Recordset::cursor() const {
    if (!cursor_)
        closedObject();
    return *cursor_;
}

bool Recordset::eof() const {
    return cursor().eof();
}
void Recordset::moveNext() {
    cursor().moveNext();
}
long Recordset::recordCount() const {
    return cursor().recordCount();
}
int Recordset::fieldCount() const {
    return cursor().fieldCount();
}
std::string Recordset::fieldName(int i) const {
    return cursor().fieldName(i);
}
int Recordset::fieldType(int i) const {
    return cursor().fieldType(i);
}
Variant Recordset::value(int i) const {
    return cursor().value(i);
}
void Recordset::text(int i, std::string& out) const {
    cursor().text(i, out);
}
std::optional<std::uint64_t> Recordset::origin() const {
    return cursor().origin();
}

bool Recordset::mayHold(RecordFilter& filter) const {
    return cursor().mayHold(filter);
}
void Recordset::close() {
    if (!cursor_)
        closedObject();
    cursor_.reset();
}

void objectNotSet() {
    throw Error(code::Unspecified, "Object variable or With block variable not set.");
}

void openConnections(Trap& trap, ConnectionSet& set, const std::string& folder,
                     ParadoxWriteBack* writeBack) {
    trap.step(100, [&] {
        set.working = std::make_unique<Connection>();
        set.working->setWriteBack(writeBack);
    });
    trap.step(102, [&] {
        set.paradox = std::make_unique<Connection>();
        set.paradox->setWriteBack(writeBack);
    });
    trap.step(104, [&] { set.recordset = std::make_unique<Recordset>(); });
    trap.step(106, [&] { set.paradox->setCursorLocation(adUseClient); });
    trap.step(108, [&] { set.paradox->open(paradoxConnectionString(folder)); });
    trap.step(110, [&] { set.working->setCursorLocation(adUseServer); });
    trap.step(112, [&] { set.working->setMode(adModeReadWrite); });
    trap.step(114, [&] { set.working->open(workingDatabaseConnectionString()); });
}

bool TableExistsInDbTemp(const std::string& tableName) {
    Recordset rs;
    Connection connection;
    connection.open(workingDatabaseConnectionString());
    rs.attach(connection.openSchema(adSchemaTables));
    bool found = false;
    const std::string wanted = paradox::asciiUpper(tableName);
    int nameField = -1, typeField = -1;
    for (int i = 0; i < rs.fieldCount(); ++i) {
        if (rs.fieldName(i) == "TABLE_NAME")
            nameField = i;
        else if (rs.fieldName(i) == "TABLE_TYPE")
            typeField = i;
    }
    while (!rs.eof()) {
        if (rs.value(typeField).toString() == "TABLE" &&
            paradox::asciiUpper(rs.value(nameField).toString()) == wanted) {
            found = true;
            break;
        }
        rs.moveNext();
    }
    rs.close();
    connection.close();
    return found;
}

} // namespace qm::db
