#include "ui_fixture.h"

#include "ui/form1.h"

namespace qm::test {

QApplication& testApplication() {
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own statics go first at exit, and an application object torn
    // down after them crashes the test program on its way out.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

void WindowTest::SetUp() {
    testApplication();
    settings::setStoreFolder((home.path() / "config").string());
    setApplicationFolder(appFolder.path().string());
    // The working database ships empty beside the program; a zero-length file is one.
    std::ofstream(appFolder.path() / "dbTemp.mdb").flush();
    ui::Form1::setProgramEnd([this] { ended = true; });
}

void WindowTest::TearDown() {
    // Later tests must not see this test's keys through a cached store.
    settings::setStoreFolder((home.path() / "gone").string());
}

std::filesystem::path WindowTest::makeFolder(const std::string& name,
                                             std::initializer_list<const char*> files) {
    auto dir = home.path() / name;
    std::filesystem::create_directories(dir);
    for (const char* f : files)
        std::ofstream(dir / f) << "";
    return dir;
}

} // namespace qm::test
