#pragma once

// Standard output that remembers why a write failed. A full disk or a reader that went away
// shows on std::cout only as a failed stream, and errno is long gone by the time the program
// looks; this buffer keeps the first error so the program can name it and fail with it.

#include <array>
#include <streambuf>

namespace qm::cli {

class CheckedOutput : public std::streambuf {
  public:
    explicit CheckedOutput(int fd) : fd_(fd) {
        setp(buffer_.data(), buffer_.data() + buffer_.size());
    }
    ~CheckedOutput() override { sync(); }
    CheckedOutput(const CheckedOutput&) = delete;
    CheckedOutput& operator=(const CheckedOutput&) = delete;

    // 0 while every write went through; else the errno of the first that did not.
    int error() const { return error_; }

  protected:
    int_type overflow(int_type c) override;
    int sync() override;

  private:
    bool drain();
    int fd_;
    int error_ = 0;
    std::array<char, 8192> buffer_{};
};

} // namespace qm::cli
