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

Variant AdoTypeName(int n) {
    switch (n) {
    case 0:
        return "adEmpty";
    case 2:
        return "adSmallInt";
    case 3:
        return "adInteger";
    case 4:
        return "adSingle";
    case 5:
        return "adDouble";
    case 6:
        return "adCurrency";
    case 7:
        return "adDate";
    case 8:
        return "adBSTR";
    case 9:
        return "adIDispatch";
    case 10:
        return "adError";
    case 11:
        return "adBoolean";
    case 12:
        return "adVariant";
    case 13:
        return "adIUnknown";
    case 14:
        return "adDecimal";
    case 16:
        return "adTinyInt";
    case 17:
        return "adUnsignedTinyInt";
    case 18:
        return "adUnsignedSmallInt";
    case 19:
        return "adUnsignedInt";
    case 20:
        return "adBigInt";
    case 21:
        return "adUnsignedBigInt";
    case 64:
        return "adFileTime";
    case 72:
        return "adGUID";
    case 128:
        return "adBinary";
    case 129:
        return "adChar";
    case 130:
        return "adWChar";
    case 131:
        return "adNumeric";
    case 132:
        return "adUserDefined";
    case 133:
        return "adDBDate";
    case 134:
        return "adDBTime";
    case 135:
        return "adDBTimeStamp";
    case 136:
        return "adChapter";
    case 138:
        return "adPropVariant";
    case 139:
        return "adVarNumeric";
    case 200:
        return "adVarChar";
    case 201:
        return "adLongVarChar";
    case 202:
        return "adVarWChar";
    case 203:
        return "adLongVarWChar";
    case 204:
        return "adVarBinary";
    case 205:
        return "adLongVarBinary";
    default:
        return Variant();
    }
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
