#include "paradox/folder_listing.h"

#include "platform/files.h"

namespace fs = std::filesystem;

namespace qm::paradox {

namespace {

thread_local FolderListings* active = nullptr;

} // namespace

ListingScope::ListingScope(FolderListings& listings) : outer_(active) {
    active = &listings;
}

ListingScope::~ListingScope() {
    active = outer_;
}

FreshListing::FreshListing() : suspended_(active) {
    active = nullptr;
}

FreshListing::~FreshListing() {
    active = suspended_;
}

int folderNames(const fs::path& folder, std::vector<std::string>& names) {
    names.clear();
    if (!active)
        return platform::listFolder(folder, names);
    auto [it, fresh] = active->folders_.try_emplace(folder.string());
    if (fresh)
        it->second.error = platform::listFolder(folder, it->second.names);
    names = it->second.names;
    return it->second.error;
}

bool isRegularFile(const fs::path& path) {
    const auto look = [&] {
        platform::FileStatus st;
        return platform::status(path, st) == 0 && st.regular;
    };
    if (!active)
        return look();
    auto [it, fresh] = active->regular_.try_emplace(path.string(), false);
    if (fresh)
        it->second = look();
    return it->second;
}

} // namespace qm::paradox
