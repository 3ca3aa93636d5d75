#include "replace/stored_text_search.h"

#include "paradox/codepage.h"
#include "paradox/utf8.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace qm {

namespace {

// The code pages whose converter turns each byte into one character on its own. The multi-byte
// ones (932, 936, 949, 950) read bytes in pairs, and 1255 and 1258 join a letter with the
// accent that follows it.
bool singleByte(std::uint16_t codePage) {
    switch (codePage) {
    case 437:
    case 737:
    case 775:
    case 850:
    case 852:
    case 855:
    case 857:
    case 860:
    case 861:
    case 862:
    case 863:
    case 864:
    case 865:
    case 866:
    case 869:
    case 874:
    case 1250:
    case 1251:
    case 1252:
    case 1253:
    case 1254:
    case 1256:
    case 1257:
        return true;
    default:
        return false;
    }
}

// The code point of a UTF-8 text that holds exactly one; nullopt otherwise.
std::optional<char32_t> onlyCharacter(const std::string& s) {
    std::size_t i = 0;
    const auto c = paradox::decodeUtf8(s, i);
    if (!c || i != s.size())
        return std::nullopt;
    return c;
}

// The characters of a valid UTF-8 text; nullopt when it is not valid UTF-8.
std::optional<std::vector<char32_t>> characters(const std::string& s) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = paradox::decodeUtf8(s, i);
        if (!c)
            return std::nullopt;
        out.push_back(*c);
    }
    return out;
}

std::string utf8(char32_t c) {
    std::string s;
    paradox::appendUtf8(s, c);
    return s;
}

// Which characters a character of a find text meets when case is ignored: the matcher's own
// rule (PCRE2's caseless matching of one character), asked of PCRE2.
class CaselessCharacter {
  public:
    explicit CaselessCharacter(char32_t c) {
        char pattern[32];
        std::snprintf(pattern, sizeof pattern, "\\x{%X}", static_cast<unsigned>(c));
        int error = 0;
        PCRE2_SIZE offset = 0;
        code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                              PCRE2_UTF | PCRE2_UCP | PCRE2_CASELESS, &error, &offset, nullptr);
        if (code_)
            data_ = pcre2_match_data_create_from_pattern(code_, nullptr);
    }
    ~CaselessCharacter() {
        pcre2_match_data_free(data_);
        pcre2_code_free(code_);
    }
    CaselessCharacter(const CaselessCharacter&) = delete;
    CaselessCharacter& operator=(const CaselessCharacter&) = delete;
    bool ok() const { return code_ && data_; }
    bool meets(char32_t other) const {
        const std::string s = utf8(other);
        return pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(s.data()), s.size(), 0,
                           PCRE2_ANCHORED | PCRE2_ENDANCHORED, data_, nullptr) >= 0;
    }

  private:
    pcre2_code* code_ = nullptr;
    pcre2_match_data* data_ = nullptr;
};

CodePageBytes work(std::uint16_t codePage) {
    CodePageBytes p;
    if (!singleByte(codePage) || !paradox::isSupportedCodePage(codePage))
        return p;
    p.allValid = true;
    for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        try {
            const auto c = onlyCharacter(paradox::decode(codePage, std::string_view(&byte, 1)));
            if (!c)
                return CodePageBytes{}; // not one character a byte after all
            p.valid[static_cast<std::size_t>(b)] = true;
            p.character[static_cast<std::size_t>(b)] = *c;
        } catch (const paradox::CodePageError&) {
            p.allValid = false;
        }
    }
    p.oneToOne = true;
    return p;
}

std::mutex& guard() {
    static std::mutex m;
    return m;
}

// The bytes alike regardless of case form a class, named by its smallest byte. PCRE2's caseless
// sets are closed (each character meets exactly the others of its set); the classes of a find
// text's characters are checked against that all the same. Null when PCRE2 cannot say.
const std::array<std::uint8_t, 256>* caselessClasses(const CodePageBytes& known) {
    std::lock_guard lock(guard());
    // Filled once, under the lock, in the process's own record of the page.
    auto& page = const_cast<CodePageBytes&>(known);
    if (page.caselessKnown)
        return &page.caselessClass;
    auto& canon = page.caselessClass;
    for (int b = 0; b < 256; ++b)
        canon[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(b);
    for (int b = 0; b < 256; ++b) {
        const auto ub = static_cast<std::size_t>(b);
        if (!page.valid[ub] || canon[ub] != b)
            continue;
        const CaselessCharacter c(page.character[ub]);
        if (!c.ok())
            return nullptr;
        for (int other = b + 1; other < 256; ++other) {
            const auto uo = static_cast<std::size_t>(other);
            if (page.valid[uo] && c.meets(page.character[uo]))
                canon[uo] = static_cast<std::uint8_t>(b);
        }
    }
    page.caselessKnown = true;
    return &canon;
}

} // namespace

const CodePageBytes& codePageBytes(std::uint16_t codePage) {
    codePage = paradox::effectiveCodePage(codePage);
    static std::map<std::uint16_t, std::unique_ptr<CodePageBytes>> known;
    std::lock_guard lock(guard());
    auto& slot = known[codePage];
    if (!slot)
        slot = std::make_unique<CodePageBytes>(work(codePage));
    return *slot;
}

StoredNeedle::StoredNeedle(const Matcher& matcher, const CodePageBytes& page) {
    const SearchOptions& o = matcher.options();
    const std::string& find = matcher.find();
    if (!page.oneToOne || o.regex || find.empty())
        return; // Anything
    const auto chars = characters(find);
    if (!chars)
        return; // invalid UTF-8 can still meet part of a character's bytes
    if (o.matchCase) {
        // The byte of each character: a character the code page lacks occurs in none of its
        // text.
        for (char32_t c : *chars) {
            int found = -1;
            for (int b = 0; b < 256 && found < 0; ++b)
                if (page.valid[static_cast<std::size_t>(b)] &&
                    page.character[static_cast<std::size_t>(b)] == c)
                    found = b;
            if (found < 0) {
                kind_ = Kind::Nowhere;
                return;
            }
            bytes_ += static_cast<char>(found);
        }
        kind_ = Kind::Bytes;
        return;
    }
    canon_ = caselessClasses(page);
    if (!canon_)
        return; // Anything
    for (char32_t c : *chars) {
        const CaselessCharacter cc(c);
        if (!cc.ok())
            return; // Anything
        int found = -1;
        for (int b = 0; b < 256 && found < 0; ++b)
            if (page.valid[static_cast<std::size_t>(b)] &&
                cc.meets(page.character[static_cast<std::size_t>(b)]))
                found = b;
        if (found < 0) {
            kind_ = Kind::Nowhere;
            return;
        }
        const std::uint8_t cls = (*canon_)[static_cast<std::size_t>(found)];
        // Sound only while the class is exactly the bytes the character meets.
        for (int b = 0; b < 256; ++b) {
            const auto ub = static_cast<std::size_t>(b);
            if (page.valid[ub] && cc.meets(page.character[ub]) != ((*canon_)[ub] == cls))
                return; // Anything
        }
        classes_.push_back(cls);
    }
    caseless_ = true;
    kind_ = Kind::Bytes;
}

bool StoredNeedle::mayOccur(std::span<const std::uint8_t> stored) const {
    switch (kind_) {
    case Kind::Anything:
        return true;
    case Kind::Nowhere:
        return false;
    case Kind::Bytes:
        break;
    }
    if (!caseless_) {
        const std::size_t n = bytes_.size();
        // Most stored texts are a few dozen bytes: looking for the first byte and comparing the
        // rest costs less there than memmem's preparation of the find text, done again on
        // every call. Long texts still go to memmem, which cannot turn quadratic.
        if (n == 0 || stored.size() > 256)
            return ::memmem(stored.data(), stored.size(), bytes_.data(), n) != nullptr;
        if (stored.size() < n)
            return false;
        const auto* p = stored.data();
        const auto* last = p + (stored.size() - n); // the last place a hit can start
        const auto first = static_cast<std::uint8_t>(bytes_[0]);
        const auto final = static_cast<std::uint8_t>(bytes_[n - 1]);
        while (p <= last) {
            p = static_cast<const std::uint8_t*>(
                std::memchr(p, first, static_cast<std::size_t>(last - p) + 1));
            if (!p)
                return false;
            // The last byte first: most places that start like the find text end unlike it.
            if (p[n - 1] == final && std::memcmp(p + 1, bytes_.data() + 1, n - 1) == 0)
                return true;
            ++p;
        }
        return false;
    }
    const std::size_t n = classes_.size();
    if (stored.size() < n)
        return false;
    const std::uint8_t first = classes_[0];
    for (std::size_t at = 0; at + n <= stored.size(); ++at) {
        if ((*canon_)[stored[at]] != first)
            continue;
        std::size_t i = 1;
        while (i < n && (*canon_)[stored[at + i]] == classes_[i])
            ++i;
        if (i == n)
            return true;
    }
    return false;
}

bool findFitsAlphabet(const Matcher& matcher, const std::string& alphabet) {
    const SearchOptions& o = matcher.options();
    const std::string& find = matcher.find();
    if (o.regex || find.empty())
        return true;
    const auto chars = characters(find);
    if (!chars)
        return true;
    for (char32_t c : *chars) {
        bool met = false;
        if (o.matchCase) {
            met = c < 0x80 && alphabet.find(static_cast<char>(c)) != std::string::npos;
        } else {
            const CaselessCharacter cc(c);
            if (!cc.ok())
                return true;
            for (char a : alphabet)
                met = met || cc.meets(static_cast<unsigned char>(a));
        }
        if (!met)
            return false;
    }
    return true;
}

} // namespace qm
