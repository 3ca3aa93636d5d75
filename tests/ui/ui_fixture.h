#pragma once

#include "app/common.h"
#include "app/settings.h"
#include "fake_user_interface.h"
#include "test_support.h"

#include <QApplication>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace qm::test {

// One QApplication for the whole test program; windows need it and Qt allows only one.
QApplication& testApplication();

// A fresh settings store and application folder for each window test, so no test sees
// another's keys and none touches the user's own.
struct WindowTest : ::testing::Test {
    TempDir home;
    TempDir appFolder;
    FakeUserInterface ui;
    bool ended = false;

    void SetUp() override;
    void TearDown() override;

    // A folder with table files (empty files are enough for the catalogue).
    std::filesystem::path makeFolder(const std::string& name,
                                     std::initializer_list<const char*> files);
};

} // namespace qm::test
