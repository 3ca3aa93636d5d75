#pragma once

#include "app/error.h"
#include "app/user_interface.h"

#include <functional>
#include <string>

namespace qm {

inline constexpr const char* kSupportAddress = "support@quillmend.example";
inline constexpr const char* kErrorReportTitle = "Application Error";

// "in " + project + "2021/08/31." + object + "." + procedure + " "
std::string locationText(const std::string& project, const std::string& object,
                         const std::string& procedure);

// The exact bytes of the report: description, CR LF, location, "at line ", number, CR, CR,
// then the request to send a screenshot.
std::string errorReportMessage(const std::string& description, const std::string& location,
                               int line);

// Shows the report box: OK only, exclamation icon, "Application Error".
void showErrorReport(UserInterface& ui, const std::string& description, const std::string& location,
                     int line);

// The location texts of the trapped procedures.
namespace where {
std::string form1(const std::string& procedure);
std::string form2(const std::string& procedure);
std::string form3(const std::string& procedure);
std::string paradox(const std::string& procedure);
std::string getSubDirectories2016();
} // namespace where

// The uniform trap of a procedure that does real work for the user. Each numbered step runs
// through step() or test(); a failure is reported with the step's number and the procedure
// goes on with its next step. No failure leaves the trap unless a filter says so.
class Trap {
  public:
    enum class Disposition { Report, Resume, Propagate };
    using Filter = std::function<Disposition(const Error&)>;

    Trap(UserInterface& ui, std::string location) : ui_(ui), location_(std::move(location)) {}

    // Records the number of the step about to run (for steps that hold no action of their own).
    void line(int number) { line_ = number; }
    int currentLine() const { return line_; }
    const std::string& location() const { return location_; }

    // Installed by the replace run to tolerate some codes silently or end the run.
    void setFilter(Filter filter) { filter_ = std::move(filter); }
    // A failure of the working database itself leaves the procedure at once, for its caller to
    // end the table's work with; every other failure is reported and the procedure goes on.
    void propagateStorageFailures() {
        filter_ = [](const Error& e) {
            return e.code() == code::Storage ? Disposition::Propagate : Disposition::Report;
        };
    }

    // Runs one step; returns false when it failed (after the report).
    template <class F> bool step(int number, F&& action) {
        line_ = number;
        try {
            action();
            return true;
        } catch (const Error& e) {
            handle(e);
        } catch (const std::exception& e) {
            handle(Error(code::Unspecified, e.what()));
        }
        return false;
    }

    // A conditional's test: a test that fails counts as true, so its governed step runs next.
    template <class F> bool test(int number, F&& condition) {
        line_ = number;
        try {
            return static_cast<bool>(condition());
        } catch (const Error& e) {
            handle(e);
        } catch (const std::exception& e) {
            handle(Error(code::Unspecified, e.what()));
        }
        return true;
    }

    void report(const std::string& description) {
        showErrorReport(ui_, description, location_, line_);
    }

  private:
    void handle(const Error& e);

    UserInterface& ui_;
    std::string location_;
    int line_ = 0;
    Filter filter_;
};

} // namespace qm
