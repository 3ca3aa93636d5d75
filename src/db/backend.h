#pragma once

// What a connection needs from whatever stands behind its connection string.

#include "app/variant.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qm::db {

class RecordFilter;

// A static result: positioned on its first row, exact count known when it is made.
class Cursor {
  public:
    virtual ~Cursor() = default;
    virtual bool eof() const = 0;
    virtual void moveNext() = 0;
    virtual long recordCount() const = 0;
    virtual int fieldCount() const = 0;
    virtual std::string fieldName(int i) const = 0;
    virtual int fieldType(int i) const = 0;
    virtual Variant value(int i) const = 0;
    // The value as text with Null as the empty text, into a string the caller reuses.
    virtual void text(int i, std::string& out) const {
        const Variant v = value(i);
        out = v.isNull() ? std::string() : v.toString();
    }
    // The Paradox record the current row came from (its file offset in the .db), if known.
    virtual std::optional<std::uint64_t> origin() const { return std::nullopt; }
    // Whether the filter, shown the current record as stored, lets it through; a backend that
    // cannot show it lets every record through.
    virtual bool mayHold(RecordFilter&) const { return true; }
};

class Backend {
  public:
    virtual ~Backend() = default;
    virtual std::unique_ptr<Cursor> schema() = 0;
    virtual void beginTrans() = 0;
    virtual void commitTrans() = 0;
    virtual void rollbackTrans() = 0;
};

} // namespace qm::db

#include <vector>

namespace qm::db {

// A small result held whole: catalogues and the like.
class MemoryCursor : public Cursor {
  public:
    struct Column {
        std::string name;
        int type;
    };
    MemoryCursor(std::vector<Column> columns, std::vector<std::vector<Variant>> rows)
        : columns_(std::move(columns)), rows_(std::move(rows)) {}
    bool eof() const override { return pos_ >= rows_.size(); }
    void moveNext() override;
    long recordCount() const override { return static_cast<long>(rows_.size()); }
    int fieldCount() const override { return static_cast<int>(columns_.size()); }
    std::string fieldName(int i) const override;
    int fieldType(int i) const override;
    Variant value(int i) const override;

  private:
    std::vector<Column> columns_;
    std::vector<std::vector<Variant>> rows_;
    std::size_t pos_ = 0;
};

} // namespace qm::db
