#pragma once

#include <string>

namespace qm {

// The Paradox folder every database operation works on. The start window owns the text
// (its folder field); the engine reads it at the moment of use and the folder copy writes it.
class CurrentFolder {
  public:
    virtual ~CurrentFolder() = default;
    virtual std::string get() const = 0;
    virtual void set(const std::string& folder) = 0;
};

// A plain holder for tests and front ends without a start window.
class FixedFolder : public CurrentFolder {
  public:
    explicit FixedFolder(std::string folder = {}) : folder_(std::move(folder)) {}
    std::string get() const override { return folder_; }
    void set(const std::string& folder) override { folder_ = folder; }

  private:
    std::string folder_;
};

} // namespace qm
