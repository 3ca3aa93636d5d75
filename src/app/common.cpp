#include "app/common.h"

#include "platform/files.h"

#include <array>
#include <charconv>
#include <filesystem>
#include <mutex>

namespace qm {

std::string Variant::toString() const {
    if (isNull() || isEmpty())
        return {};
    if (isText())
        return text();
    if (isInteger())
        return std::to_string(integer());
    if (isBool())
        return boolean() ? "True" : "False";
    std::array<char, 32> buf{};
    auto r = std::to_chars(buf.data(), buf.data() + buf.size(), number());
    return std::string(buf.data(), r.ptr);
}

Variant NullToDefault(const Variant& value, const Variant& defaultValue) {
    return value.isNull() ? defaultValue : value;
}

bool FileExistsByDate(const std::string& path) {
    if (path.empty())
        return false;
    platform::FileStatus st;
    return platform::status(path, st) == 0;
}

std::string FileNameFromPath(const std::string& path) {
    auto pos = path.rfind(kSeparator);
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

namespace {

struct AdoTypeRow {
    int number;
    const char* name;
};

// The provider's data type enumeration.
constexpr AdoTypeRow kAdoTypes[] = {
    {0, "adEmpty"},
    {2, "adSmallInt"},
    {3, "adInteger"},
    {4, "adSingle"},
    {5, "adDouble"},
    {6, "adCurrency"},
    {7, "adDate"},
    {8, "adBSTR"},
    {9, "adIDispatch"},
    {10, "adError"},
    {11, "adBoolean"},
    {12, "adVariant"},
    {13, "adIUnknown"},
    {14, "adDecimal"},
    {16, "adTinyInt"},
    {17, "adUnsignedTinyInt"},
    {18, "adUnsignedSmallInt"},
    {19, "adUnsignedInt"},
    {20, "adBigInt"},
    {21, "adUnsignedBigInt"},
    {64, "adFileTime"},
    {72, "adGUID"},
    {128, "adBinary"},
    {129, "adChar"},
    {130, "adWChar"},
    {131, "adNumeric"},
    {132, "adUserDefined"},
    {133, "adDBDate"},
    {134, "adDBTime"},
    {135, "adDBTimeStamp"},
    {136, "adChapter"},
    {138, "adPropVariant"},
    {139, "adVarNumeric"},
    {200, "adVarChar"},
    {201, "adLongVarChar"},
    {202, "adVarWChar"},
    {203, "adLongVarWChar"},
    {204, "adVarBinary"},
    {205, "adLongVarBinary"},
};

} // namespace

Variant AdoTypeName(int n) {
    for (const AdoTypeRow& row : kAdoTypes)
        if (row.number == n)
            return row.name;
    return Variant();
}

Variant IsFolder(const std::string& path) {
    platform::FileStatus st;
    if (path.empty() || platform::status(path, st) != 0)
        return Variant();
    return st.directory;
}

namespace {
std::mutex g_mutex;
std::string g_appTitle = "Quillmend";
std::string g_appFolder;
} // namespace

void SetAppTitle() {
    std::string t = kProductName;
    do {
        auto pos = t.rfind(' ');
        if (pos == std::string::npos)
            break;
        t.erase(pos);
    } while (t.size() > 40);
    std::lock_guard lock(g_mutex);
    g_appTitle = t;
}

const std::string& appTitle() {
    std::lock_guard lock(g_mutex);
    return g_appTitle;
}

namespace {
std::string collapsePairs(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        out += s[i];
        if (s[i] == kSeparator && i + 1 < s.size() && s[i + 1] == kSeparator)
            ++i;
    }
    return out;
}
} // namespace

std::string trimBlanks(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string CollapseBackslashes(const std::string& path) {
    if (path.empty() || path[0] != kSeparator)
        return collapsePairs(path);
    std::size_t lead = path.find_first_not_of(kSeparator);
    std::string rest = lead == std::string::npos ? std::string() : path.substr(lead);
    return std::string(2, kSeparator) + collapsePairs(rest);
}

std::string AppDriveRoot() {
    return std::string(1, kSeparator);
}

std::string applicationFolder() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_appFolder.empty())
            return g_appFolder;
    }
    const auto exe = platform::programFile();
    std::string folder =
        exe.empty() ? std::filesystem::current_path().string() : exe.parent_path().string();
    std::lock_guard lock(g_mutex);
    g_appFolder = folder;
    return g_appFolder;
}

void setApplicationFolder(const std::string& folder) {
    std::lock_guard lock(g_mutex);
    g_appFolder = folder;
    while (g_appFolder.size() > 1 && g_appFolder.back() == kSeparator)
        g_appFolder.pop_back();
}

} // namespace qm
