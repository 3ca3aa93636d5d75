#include "app/error_report.h"

namespace qm {

std::string locationText(const std::string& project, const std::string& object,
                         const std::string& procedure) {
    return "in " + project + "2021/08/31." + object + "." + procedure + " ";
}

std::string errorReportMessage(const std::string& description, const std::string& location,
                               int line) {
    std::string m = description;
    m += "\r\n";
    m += location;
    m += "at line ";
    m += std::to_string(line);
    m += "\r\r";
    m += "Please email screenshot of this message to ";
    m += kSupportAddress;
    return m;
}

void showErrorReport(UserInterface& ui, const std::string& description, const std::string& location,
                     int line) {
    ui.messageBox(errorReportMessage(description, location, line), Buttons::Ok, Icon::Exclamation,
                  kErrorReportTitle);
}

namespace where {
std::string form1(const std::string& p) {
    return locationText("Quillworks", "Form1", p);
}
std::string form2(const std::string& p) {
    return locationText("Quillworks", "Form2", p);
}
std::string form3(const std::string& p) {
    return locationText("Quillworks", "Form3", p);
}
std::string paradox(const std::string& p) {
    return locationText("Quillworks", "Paradox", p);
}
std::string getSubDirectories2016() {
    return locationText("Brindlecap", "AddFolder", "GetSubDirectories2016");
}
} // namespace where

void Trap::handle(const Error& e) {
    Disposition d = filter_ ? filter_(e) : Disposition::Report;
    switch (d) {
    case Disposition::Resume:
        return;
    case Disposition::Propagate:
        throw e;
    case Disposition::Report:
        report(e.description());
        return;
    }
}

} // namespace qm
