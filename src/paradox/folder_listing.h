#pragma once

// A run asks each folder the same questions for every table in it: which file is the table's,
// which files are its family, which lock files lie beside it. While a ListingScope is active on
// a thread, each folder is listed once into its FolderListings and every such question is
// answered from that listing; each file's kind is looked up once. Checks that must see a folder
// as it is at that moment (a family compared with its print, the swap's checks under its locks)
// list it afresh: they run outside any scope, or inside a FreshListing.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace qm::paradox {

// The listings one run has made.
class FolderListings {
  private:
    friend int folderNames(const std::filesystem::path&, std::vector<std::string>&);
    friend bool isRegularFile(const std::filesystem::path&);

    struct Listing {
        int error = 0;
        std::vector<std::string> names;
    };
    std::map<std::string, Listing> folders_;
    std::map<std::string, bool> regular_;
};

// Answers from listings while it lives.
class ListingScope {
  public:
    explicit ListingScope(FolderListings& listings);
    ~ListingScope();
    ListingScope(const ListingScope&) = delete;
    ListingScope& operator=(const ListingScope&) = delete;

  private:
    FolderListings* outer_;
};

// Lists afresh while it lives, whatever scope is active.
class FreshListing {
  public:
    FreshListing();
    ~FreshListing();
    FreshListing(const FreshListing&) = delete;
    FreshListing& operator=(const FreshListing&) = delete;

  private:
    FolderListings* suspended_;
};

// The names in folder, "." and ".." left out: 0, or the error of listing it.
[[nodiscard]] int folderNames(const std::filesystem::path& folder, std::vector<std::string>& names);
// Whether path names a regular file (a link to one counts).
bool isRegularFile(const std::filesystem::path& path);

} // namespace qm::paradox
