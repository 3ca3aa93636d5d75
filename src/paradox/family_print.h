#pragma once

// What a table's family looked like at a moment: which files, their sizes, modification times
// and contents. Taken when a table is copied into the working database and compared just
// before (and while) its files are replaced, so that a table someone else changed in between
// is not overwritten with values made from its old state.

#include "paradox/content_digest.h"
#include "paradox/writer.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace qm::paradox {

struct MemberPrint {
    std::string name; // as on disk
    std::uint64_t size = 0;
    std::int64_t mtimeNs = 0; // modification time, nanoseconds since the epoch
    Digest128 digest;         // of the whole content
    bool hashed = false;      // digest was taken (a print of sizes and times alone has none)
    bool operator==(const MemberPrint&) const = default;
};

struct FamilyPrint {
    std::vector<MemberPrint> members; // by name
    bool operator==(const FamilyPrint&) const = default;
};

// The family of db as it is now (paradox::familyFiles; a link counts as the file it points to).
// Without content, only the files, their sizes and modification times: a quick look that
// reading every byte confirms where it matters. Throws FileError when a member cannot be read.
FamilyPrint printFamily(const std::filesystem::path& db, bool content = true);

// The print of these files, each recorded under the name given beside it.
FamilyPrint printFiles(const std::vector<std::pair<std::string, std::filesystem::path>>& files,
                       bool content = true);

// Empty when both are the same; otherwise what differs, in words ("its file X.DB changed size").
// Contents are compared where both prints have them.
std::string familyDifference(const FamilyPrint& before, const FamilyPrint& now);

// The table changed since its print was taken: nothing was replaced. reason() begins with
// kChangedDuringRun.
inline constexpr const char* kChangedDuringRun = "changed by another program during the run";
class TableChangedError : public FileError {
  public:
    explicit TableChangedError(const std::string& difference)
        : FileError(std::string("The table was ") + kChangedDuringRun + ": " + difference + ".",
                    ESTALE),
          reason_(std::string(kChangedDuringRun) + ": " + difference) {}
    const std::string& reason() const { return reason_; }

  private:
    std::string reason_;
};

} // namespace qm::paradox
