#pragma once

// Rewriting changed field values of an existing table without disturbing anything else: the new
// .db is a byte copy of the old one with only the changed fields' bytes rewritten, and a changed
// memo gets its leader rewritten and its text appended to a copy of the .mb as new blocks. A
// change to a key field or to a field of a secondary index also rewrites what depends on it
// (index_plan.h): a changed key puts the records back into key order and rebuilds the .PX and
// every secondary index; a changed indexed field rebuilds the indexes that hold it. Such a change
// is refused where those files could not be rebuilt as the BDE builds them. Validity files are
// never touched.
//
// The old blob of a changed memo is left where it is, still allocated: freeing it would rewrite
// bytes of the .mb beyond the appended blocks, and a blob nobody points to any more is harmless
// to every reader, the BDE included (its table repair reclaims the space).

#include "paradox/change.h"
#include "paradox/family_print.h"
#include "paradox/table.h"
#include "paradox/validity.h"
#include "paradox/writer.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qm::paradox {

enum class Refusal {
    None,
    TooLong,       // longer than the Alpha field in the table's code page
    NotInCodePage, // a character the table's code page cannot represent
    NotTextValued, // Binary, Formatted memo, OLE, Graphic, Bytes: no text to change
    InvalidValue,  // not a valid value of the field's type (a date, a number, ...)
    KeyField,      // part of the primary key, and the table cannot be re-sorted or re-indexed
    IndexedField,  // part of a secondary index that cannot be rebuilt
    NoMemoFile,    // the memo needs the .mb, which is missing
    BrokenCheck,   // breaks a validity check of the table's .VAL (required, minimum, ...)
    NoSuchField,
};

struct Verdict {
    Refusal refusal = Refusal::None;
    std::string reason; // a sentence for the user; empty when writable
    bool ok() const { return refusal == Refusal::None; }
};

// A change that cannot be made; nothing has been written when it is thrown.
class PatchError : public WriteError {
  public:
    PatchError(Refusal refusal, const std::string& what) : WriteError(what), refusal_(refusal) {}
    Refusal refusal() const { return refusal_; }

  private:
    Refusal refusal_;
};

class Patcher {
  public:
    // Reads the table's secondary index headers to know which fields they cover and whether
    // they can be rebuilt.
    // untestedAccepted: the person accepted that the values go in untested when the table's
    // .VAL cannot be read (otherwise every value is refused then).
    explicit Patcher(const Table& table, bool untestedAccepted = false);

    // Whether value can be written into field, and why not.
    Verdict check(std::size_t field, std::string_view value) const;

    // True when writing these changes appends to the memo file (a memo longer than its leader).
    bool needsMemoFile(const std::vector<Change>& changes) const;

    // Writes the new .db to newDb and, when needsMemoFile, the new .mb to newMb. Every change is
    // checked first (values and record offsets); a refused one throws PatchError before any file
    // is created. Later changes of the same field of the same record win.
    void write(const std::vector<Change>& changes, const std::filesystem::path& newDb,
               const std::filesystem::path& newMb) const;

  private:
    Verdict checkText(std::size_t field, std::string_view value) const;
    Verdict validity(std::size_t field, const std::string& encoded, std::string_view value) const;

    const Table& table_;
    std::vector<bool> key_, indexed_;
    std::vector<std::string> frozen_; // per field: why a key or indexed field cannot change
    std::vector<FieldChecks> checks_; // the .VAL's checks per field (empty: none)
    std::string validityProblem_;     // a .VAL that cannot be read: no value can be checked
    bool textOrdered_ = false;        // byte order is the table's order of text
    struct Lookup {
        std::set<std::string> values;
        std::string problem;
    };
    mutable std::map<std::string, Lookup> lookups_; // by table name, read when first needed
};

// The whole change of one table: checks, writes the new files under temporary names (the .db,
// the .mb when a memo grows out of its leader, and the index files a key or indexed change
// rebuilds) and swaps them in (FamilySwap), the old ones going to a backup folder under
// backupRoot. No change, no file touched. Changes that would repeat a key must have been taken
// out (dropRepeatedKeys); they are refused here. Returns the backup folder (empty when nothing
// was replaced). With expected, the table is replaced only while its family is still that
// (FamilySwap::expectFamily).
// The refusals patchTable would meet before it writes, told without writing a byte: the values'
// verdicts, repeated keys, a memo file that is missing. Throws PatchError as patchTable does.
void checkPatch(const std::filesystem::path& db, const std::vector<Change>& changes,
                bool untestedAccepted = false);

std::filesystem::path patchTable(const std::filesystem::path& db,
                                 const std::vector<Change>& changes,
                                 const std::filesystem::path& backupRoot,
                                 const FamilyPrint* expected = nullptr,
                                 bool untestedAccepted = false);

} // namespace qm::paradox
