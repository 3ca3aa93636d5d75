#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace qm {

// A value that may be Null, Empty, a text, a number or a yes/no value, as field values and
// some routines deliver them. Dates travel as their text form.
class Variant {
  public:
    struct Null {};
    struct Empty {};

    Variant() : v_(Empty{}) {}
    static Variant null() { return Variant(Null{}); }
    Variant(Null n) : v_(n) {}
    Variant(Empty e) : v_(e) {}
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(const char* s) : v_(std::string(s)) {}
    Variant(std::int64_t i) : v_(i) {}
    Variant(int i) : v_(static_cast<std::int64_t>(i)) {}
    Variant(double d) : v_(d) {}
    Variant(bool b) : v_(b) {}

    bool isNull() const { return std::holds_alternative<Null>(v_); }
    bool isEmpty() const { return std::holds_alternative<Empty>(v_); }
    bool isText() const { return std::holds_alternative<std::string>(v_); }
    bool isInteger() const { return std::holds_alternative<std::int64_t>(v_); }
    bool isDouble() const { return std::holds_alternative<double>(v_); }
    bool isBool() const { return std::holds_alternative<bool>(v_); }

    const std::string& text() const { return std::get<std::string>(v_); }
    std::int64_t integer() const { return std::get<std::int64_t>(v_); }
    double number() const { return std::get<double>(v_); }
    bool boolean() const { return std::get<bool>(v_); }

    // The text a variant reads as: Null and Empty read as the empty text.
    std::string toString() const;

    bool operator==(const Variant& o) const { return v_ == o.v_; }

  private:
    friend bool operator==(Null, Null) { return true; }
    friend bool operator==(Empty, Empty) { return true; }
    std::variant<Null, Empty, std::string, std::int64_t, double, bool> v_;
};

} // namespace qm
