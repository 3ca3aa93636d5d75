#pragma once

// One find/replace pair as the run applies it to a value: whether it hits, and the value it
// leaves. With plain options that is the exact search (every occurrence, left to right, without
// overlap, an empty find text hitting and changing nothing); any other option goes through
// PCRE2, compiled once for the run, over the UTF-8 text of the working copy.
//
// Meanings with options:
// - ignore case: Unicode simple case folding, so the Latin letters of the code pages (grey/Grey,
//   ü/Ü) and Cyrillic, Greek and other cased letters match either case.
// - whole words: a word character is a letter, combining mark, digit (Unicode categories L, M,
//   N) or the underscore. A hit may not begin between two word characters nor end between two
//   word characters: "Ltd" hits in "Acme Ltd." but not in "Ltda", and "Ltd." hits in "Ltd. Foo".
// - regular expression: PCRE2 syntax, Unicode aware (\w, \d, \b, [[:alpha:]] follow the Unicode
//   categories). A hit is never empty text: a pattern that can match the empty string hits only
//   where it matches at least one character ("x*" changes "axxb" to "a-b" and leaves "abc"
//   alone), and one that can only match the empty string ("^", "\b") hits nothing. In the
//   replacement $n, ${n} and \n insert group n ($0 the whole hit; two digits are read as one
//   number when the pattern has that many groups), $$ is a dollar and \\ a backslash; anything
//   else is literal. A group that took no part in the hit inserts nothing.
// - The work on one value is bounded: a backtracking limit per starting position and a time
//   limit per value (kValueTimeBudget). A value that reaches either is left as it was and
//   reported, rather than holding up the run.

#include "replace/search_options.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// A find or replace text that cannot be used with the chosen options; what() says why.
class PatternError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::chrono::milliseconds kValueTimeBudget{500};

class Matcher {
  public:
    // Throws PatternError for an invalid regular expression or a replacement naming a group
    // the pattern does not have.
    Matcher(std::string find, std::string replace, SearchOptions options = {});
    Matcher(Matcher&&) noexcept;
    Matcher& operator=(Matcher&&) noexcept;
    ~Matcher();

    enum class Result {
        Miss,      // no hit; out is untouched
        Hit,       // out holds the new value (which may equal the old one)
        Abandoned, // the search gave up on the value (see abandonReason()); out is untouched
    };
    Result apply(std::string_view value, std::string& out) const {
        return apply(value, out, nullptr);
    }

    // Where one hit lies in the old value and where its replacement lies in the new one, in
    // bytes: what a preview marks.
    struct Mark {
        std::size_t oldFrom = 0, oldTo = 0;
        std::size_t newFrom = 0, newTo = 0;
    };
    // As above; marks (when given) receives every hit of a Hit result, left to right.
    Result apply(std::string_view value, std::string& out, std::vector<Mark>* marks) const;

    // Why the last Abandoned result gave up, in words that group alike refusals.
    const std::string& abandonReason() const { return abandonReason_; }

    const std::string& find() const { return find_; }
    const std::string& replace() const { return replace_; }
    const SearchOptions& options() const { return options_; }

  private:
    struct Compiled;
    std::string find_;
    std::string replace_;
    SearchOptions options_;
    std::unique_ptr<Compiled> compiled_; // null for plain options
    mutable std::string abandonReason_;
};

// Every occurrence of find in value, left to right, without overlap; an empty find gives the
// value back.
std::string replaceAll(std::string_view value, std::string_view find, std::string_view replace);

} // namespace qm
