#pragma once

#include <stdexcept>
#include <string>

namespace qm {

// Failure codes that callers filter on. Database codes are the provider's HRESULTs, which the
// replace run's tolerance list names; file codes are the runtime's.
namespace code {
inline constexpr long TooLong = static_cast<long>(0x80040E57);
inline constexpr long Malformed = static_cast<long>(0x80040E14);
inline constexpr long TypeMismatch = static_cast<long>(0x80040E07);
inline constexpr long NoSuchTable = static_cast<long>(0x80040E37);
inline constexpr long Unspecified = static_cast<long>(0x80004005);
inline constexpr long ObjectClosed = 3704;
// The working database itself failed (disk full, I/O error, a file it cannot open or write, a
// commit that did not happen): the storage's "write fault". No refusal of a value looks like it,
// so no caller tolerates it as one.
inline constexpr long Storage = static_cast<long>(0x8003001D);
inline constexpr long FileNotFound = 53;
inline constexpr long PermissionDenied = 70;
inline constexpr long PathFileAccess = 75;
inline constexpr long PathNotFound = 76;
} // namespace code

// The one failure type of the engine: a numeric code and the text the user sees.
class Error : public std::runtime_error {
  public:
    Error(long code, const std::string& description)
        : std::runtime_error(description), code_(code) {}

    long code() const { return code_; }
    std::string description() const { return what(); }

  private:
    long code_;
};

} // namespace qm
