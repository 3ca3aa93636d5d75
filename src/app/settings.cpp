#include "app/settings.h"

#include <QSettings>
#include <QString>
#include <charconv>

namespace qm::settings {

namespace {

QString q(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A store object lives only for one read or write, so every write reaches the file before
// the call returns and a read sees what another window wrote a moment ago.
class Store {
  public:
    Store() : s_(QSettings::NativeFormat, QSettings::UserScope, kApplication) {
        s_.beginGroup(kSection);
    }
    QSettings& operator*() { return s_; }
    QSettings* operator->() { return &s_; }

  private:
    QSettings s_;
};

} // namespace

std::string defaultFor(const std::string& key) {
    if (key == key::LoadSeparator)
        return "::";
    if (key == key::TabControl1 || key == key::WholeWord || key == key::RegularExpression)
        return "0";
    if (key == key::MatchCase)
        return "1";
    return {};
}

std::string GetSetting(const std::string& key, const std::string& defaultValue) {
    Store st;
    QVariant v = st->value(q(key));
    if (!v.isValid())
        return defaultValue;
    return v.toString().toStdString();
}

std::string GetSetting(const std::string& key) {
    return GetSetting(key, defaultFor(key));
}

void SaveSetting(const std::string& key, const std::string& value) {
    Store st;
    st->setValue(q(key), q(value));
    st->sync();
}

int GetTabIndex() {
    std::string t = GetSetting(key::TabControl1);
    int n = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), n);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || n < 0)
        return 0;
    return n;
}

void SaveTabIndex(int index) {
    SaveSetting(key::TabControl1, std::to_string(index));
}

void setStoreFolder(const std::string& folder) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, q(folder));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, q(folder));
}

std::string storeFile() {
    Store st;
    return st->fileName().toStdString();
}

} // namespace qm::settings
