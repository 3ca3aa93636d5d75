#include "replace/matcher.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <tuple>
#include <vector>

namespace qm {

namespace {

using Clock = std::chrono::steady_clock;

// Backtracking steps one starting position may take. The classic runaway patterns reach it at
// their first position within milliseconds; an honest search of a long memo stays far below.
constexpr std::uint32_t kMatchLimit = 1'000'000;
// Memory the interpreter may take for its backtracking frames, in KiB.
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;

// Not between two word characters (letters, marks, digits, underscore).
constexpr const char* kWordEdge = "(?:(?<![\\p{L}\\p{M}\\p{N}_])|(?![\\p{L}\\p{M}\\p{N}_]))";

// Start-of-pattern settings that PCRE2 honours only before anything else; they stay in front
// of what the matcher puts around a pattern.
constexpr const char* kLeadingSettings[] = {
    "UTF)",
    "UCP)",
    "NO_AUTO_POSSESS)",
    "NO_DOTSTAR_ANCHOR)",
    "NO_JIT)",
    "NO_START_OPT)",
    "NOTEMPTY)",
    "NOTEMPTY_ATSTART)",
    "CR)",
    "LF)",
    "CRLF)",
    "ANYCRLF)",
    "ANY)",
    "NUL)",
    "BSR_ANYCRLF)",
    "BSR_UNICODE)",
    "LIMIT_HEAP=",
    "LIMIT_MATCH=",
    "LIMIT_DEPTH=",
    "LIMIT_RECURSION=",
};

std::string errorText(int code) {
    PCRE2_UCHAR buffer[256];
    if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0)
        return "error " + std::to_string(code);
    return reinterpret_cast<const char*>(buffer);
}

// The text as a pattern that matches exactly it.
std::string quoted(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (alnum || c >= 0x80) {
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x{";
            out += hex[c >> 4];
            out += hex[c & 15];
            out += '}';
        } else {
            out += '\\';
            out += ch;
        }
    }
    return out;
}

// Splits the start-of-pattern settings off the pattern.
std::pair<std::string, std::string> leadingSettings(const std::string& pattern) {
    std::size_t at = 0;
    for (;;) {
        if (pattern.compare(at, 2, "(*") != 0)
            break;
        bool known = false;
        for (const char* s : kLeadingSettings)
            if (pattern.compare(at + 2, std::char_traits<char>::length(s), s) == 0)
                known = true;
        const auto close = pattern.find(')', at);
        if (!known || close == std::string::npos)
            break;
        at = close + 1;
    }
    return {pattern.substr(0, at), pattern.substr(at)};
}

struct CompileResult {
    pcre2_code* code = nullptr;
    std::string error;
};

CompileResult compile(const std::string& pattern, std::uint32_t options) {
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    pcre2_set_newline(context, PCRE2_NEWLINE_ANYCRLF);
    int code = 0;
    PCRE2_SIZE offset = 0;
    CompileResult r;
    r.code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                           &code, &offset, context);
    pcre2_compile_context_free(context);
    if (!r.code)
        r.error = errorText(code) + " (at byte " + std::to_string(offset) + ")";
    return r;
}

struct Budget {
    Clock::time_point deadline;
    bool expired = false;
};

// Called where each starting position begins: the run's time limit for one value.
int checkBudget(pcre2_callout_block*, void* data) {
    auto* budget = static_cast<Budget*>(data);
    if (Clock::now() > budget->deadline) {
        budget->expired = true;
        return PCRE2_ERROR_CALLOUT;
    }
    return 0;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::string replaceAll(std::string_view value, std::string_view find, std::string_view replace) {
    if (find.empty())
        return std::string(value);
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = value.find(find, from)) != std::string_view::npos;
         from = at + find.size()) {
        out.append(value, from, at - from);
        out += replace;
    }
    out.append(value, from, std::string_view::npos);
    return out;
}

struct Matcher::Compiled {
    // A piece of the replacement: literal text, or a group of the hit (group >= 0).
    struct Piece {
        std::string text;
        int group = -1;
    };

    pcre2_code* code = nullptr;
    pcre2_match_data* data = nullptr;
    pcre2_match_context* context = nullptr;
    pcre2_jit_stack* jitStack = nullptr;
    std::vector<Piece> pieces;

    Compiled() = default;
    Compiled(const Compiled&) = delete;
    Compiled& operator=(const Compiled&) = delete;
    ~Compiled() {
        pcre2_jit_stack_free(jitStack);
        pcre2_match_context_free(context);
        pcre2_match_data_free(data);
        pcre2_code_free(code);
    }

    void literal(std::string text) {
        if (!pieces.empty() && pieces.back().group < 0)
            pieces.back().text += text;
        else
            pieces.push_back({std::move(text), -1});
    }

    // The replacement of a hit: its literal pieces, and the groups the match (rc, ov) holds.
    void appendReplacement(std::string_view v, int rc, const PCRE2_SIZE* ov,
                           std::string& out) const {
        for (const auto& piece : pieces) {
            if (piece.group < 0) {
                out += piece.text;
                continue;
            }
            const auto g = static_cast<std::size_t>(piece.group);
            if (g < static_cast<std::size_t>(rc) && ov[2 * g] != PCRE2_UNSET)
                out.append(v, ov[2 * g], ov[2 * g + 1] - ov[2 * g]);
        }
    }

    // $n, ${n}, \n, $$ and \\ of a regular expression's replacement.
    void parseReplacement(const std::string& r, std::uint32_t groups) {
        const auto groupAt = [&](std::size_t& i) {
            // Two digits when the pattern has that many groups, else one.
            int n = r[i] - '0';
            if (i + 1 < r.size() && isDigit(r[i + 1])) {
                const int two = n * 10 + (r[i + 1] - '0');
                if (two <= static_cast<int>(groups)) {
                    ++i;
                    n = two;
                }
            }
            ++i;
            return n;
        };
        const auto checked = [&](int n) {
            if (n > static_cast<int>(groups))
                throw PatternError("the replacement \"" + r + "\" uses group " + std::to_string(n) +
                                   ", but the pattern has " +
                                   (groups == 0 ? std::string("no groups")
                                                : std::to_string(groups) + " group(s)"));
            pieces.push_back({{}, n});
        };
        for (std::size_t i = 0; i < r.size();) {
            const char c = r[i];
            const char next = i + 1 < r.size() ? r[i + 1] : '\0';
            if (c == '$' && next == '$') {
                literal("$");
                i += 2;
            } else if ((c == '$' || c == '\\') && isDigit(next)) {
                ++i;
                checked(groupAt(i));
            } else if (c == '$' && next == '{') {
                const auto close = r.find('}', i + 2);
                const std::string inside =
                    close == std::string::npos ? std::string() : r.substr(i + 2, close - i - 2);
                const bool number = !inside.empty() && inside.size() <= 4 &&
                                    std::all_of(inside.begin(), inside.end(), isDigit);
                if (number) {
                    checked(std::stoi(inside));
                    i = close + 1;
                } else {
                    literal("$");
                    ++i;
                }
            } else if (c == '\\' && next == '\\') {
                literal("\\");
                i += 2;
            } else {
                literal(std::string(1, c));
                ++i;
            }
        }
    }
};

Matcher::Matcher(std::string find, std::string replace, SearchOptions options)
    : find_(std::move(find)), replace_(std::move(replace)), options_(options) {
    if (options_.plain())
        return;
    // Without a regular expression an empty find text keeps its plain meaning.
    if (!options_.regex && find_.empty())
        return;
    std::uint32_t flags = PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF | PCRE2_NEVER_BACKSLASH_C;
    if (!options_.matchCase)
        flags |= PCRE2_CASELESS;

    std::string settings, body;
    std::uint32_t groups = 0;
    if (options_.regex) {
        // Alone first: its own errors, with offsets into what the person typed, and its groups.
        CompileResult alone = compile(find_, flags);
        if (!alone.code)
            throw PatternError("the find text \"" + find_ +
                               "\" is not a valid regular expression: " + alone.error);
        pcre2_pattern_info(alone.code, PCRE2_INFO_CAPTURECOUNT, &groups);
        pcre2_code_free(alone.code);
        std::tie(settings, body) = leadingSettings(find_);
    } else {
        body = quoted(find_);
    }

    auto compiled = std::make_unique<Compiled>();
    if (options_.regex)
        compiled->parseReplacement(replace_, groups);
    else
        compiled->literal(replace_);

    // The callout sits where every starting position begins. \E ends a \Q the pattern left
    // open, so the word edge after it is not taken literally.
    std::string pattern = settings + "(?C1)";
    if (options_.wholeWord)
        pattern += std::string(kWordEdge) + "(?:" + body + "\\E)" + kWordEdge;
    else
        pattern += body;
    CompileResult full = compile(pattern, flags);
    if (!full.code)
        throw PatternError("the find text \"" + find_ + "\" cannot be used with " +
                           options_.describe() + ": " + full.error);
    compiled->code = full.code;
    pcre2_jit_compile(compiled->code, PCRE2_JIT_COMPLETE); // the interpreter serves without it
    compiled->data = pcre2_match_data_create_from_pattern(compiled->code, nullptr);
    compiled->context = pcre2_match_context_create(nullptr);
    compiled->jitStack = pcre2_jit_stack_create(32 * 1024, 1024 * 1024, nullptr);
    if (!compiled->data || !compiled->context || !compiled->jitStack)
        throw std::bad_alloc();
    pcre2_jit_stack_assign(compiled->context, nullptr, compiled->jitStack);
    pcre2_set_match_limit(compiled->context, kMatchLimit);
    pcre2_set_depth_limit(compiled->context, kMatchLimit);
    pcre2_set_heap_limit(compiled->context, kHeapLimitKiB);
    compiled_ = std::move(compiled);
}

Matcher::Matcher(Matcher&&) noexcept = default;
Matcher& Matcher::operator=(Matcher&&) noexcept = default;
Matcher::~Matcher() = default;

namespace {

// Each hit of a plain find text, where it lies in the old value and in the new one.
void markLiteralHits(std::string_view v, std::string_view find, std::string_view replace,
                     std::vector<Matcher::Mark>& marks) {
    std::size_t shift = 0; // how far the new value has moved against the old one
    for (std::size_t at = v.find(find); at != std::string_view::npos;
         at = v.find(find, at + find.size())) {
        marks.push_back({at, at + find.size(), at + shift, at + shift + replace.size()});
        shift += replace.size() - find.size();
    }
}

// Why a value was given up: the expression's own limits, or a failure of the match itself.
std::string abandonedBecause(int rc, bool budgetExpired) {
    if (rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT ||
        rc == PCRE2_ERROR_HEAPLIMIT || rc == PCRE2_ERROR_JIT_STACKLIMIT ||
        (rc == PCRE2_ERROR_CALLOUT && budgetExpired))
        return "searching the value took the regular expression too much work "
               "(it backtracks without end on such text)";
    return "the value could not be searched: " + errorText(rc);
}

// The start of the character after the one at `at`, so that a search never stops inside one.
PCRE2_SIZE nextCharacter(std::string_view v, PCRE2_SIZE at) {
    ++at;
    while (at < v.size() && (static_cast<unsigned char>(v[at]) & 0xC0) == 0x80)
        ++at;
    return at;
}

} // namespace

Matcher::Result Matcher::apply(std::string_view v, std::string& out,
                               std::vector<Mark>* marks) const {
    if (!compiled_) {
        if (v.find(find_) == std::string_view::npos)
            return Result::Miss;
        out = replaceAll(v, find_, replace_);
        if (marks && !find_.empty())
            markLiteralHits(v, find_, replace_, *marks);
        return Result::Hit;
    }
    Compiled& c = *compiled_;
    Budget budget{Clock::now() + kValueTimeBudget};
    pcre2_set_callout(c.context, checkBudget, &budget);
    const auto subject = reinterpret_cast<PCRE2_SPTR>(v.data());
    std::string result;
    bool hit = false;
    PCRE2_SIZE at = 0, copied = 0;
    while (at <= v.size()) {
        const int rc =
            pcre2_match(c.code, subject, v.size(), at, PCRE2_NOTEMPTY, c.data, c.context);
        if (rc == PCRE2_ERROR_NOMATCH)
            break;
        if (rc < 0) {
            abandonReason_ = abandonedBecause(rc, budget.expired);
            return Result::Abandoned;
        }
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(c.data);
        const PCRE2_SIZE start = ov[0], end = ov[1];
        if (end <= start || start < copied) {
            // \K can still report empty text; it is not a hit. Step over one character.
            at = nextCharacter(v, std::max(at, end));
            continue;
        }
        hit = true;
        result.append(v, copied, start - copied);
        const std::size_t newFrom = result.size();
        c.appendReplacement(v, rc, ov, result);
        if (marks)
            marks->push_back({start, end, newFrom, result.size()});
        copied = at = end;
    }
    if (!hit)
        return Result::Miss;
    result.append(v, copied, std::string_view::npos);
    out = std::move(result);
    return Result::Hit;
}

} // namespace qm
