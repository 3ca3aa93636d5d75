#include "app/common.h"
#include "app/error.h"
#include "fake_user_interface.h"
#include "file_bytes.h"
#include "sets/set_files.h"
#include "test_support.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

using namespace qm;
namespace fs = std::filesystem;
using qm::test::fileText;

namespace {

using Sets = std::vector<std::pair<std::string, std::string>>;

Sets setsOf(const SetLists& l) {
    EXPECT_EQ(l.findList().size(), l.replaceList().size());
    Sets out;
    for (int i = 0; i < l.count(); ++i)
        out.emplace_back(l.findText(i), l.replaceText(i));
    return out;
}

SetLists listsOf(const Sets& sets) {
    SetLists l;
    for (const auto& [f, r] : sets)
        l.appendSet(f, r);
    return l;
}

std::string write(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
}

// Loads a file's text with a separator into fresh lists; expects the dialog to close.
Sets loadText(const test::TempDir& dir, const std::string& bytes, const std::string& sep) {
    test::FakeUserInterface ui;
    SetLists lists;
    EXPECT_TRUE(LoadSets(ui, write(dir.path() / "in.txt", bytes), sep, lists));
    EXPECT_TRUE(ui.boxes.empty());
    return setsOf(lists);
}

void expectInformation(const test::FakeUserInterface::Box& box, const std::string& text) {
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.buttons, Buttons::Ok);
    EXPECT_EQ(box.icon, Icon::None);
    EXPECT_EQ(box.title, "Quillmend");
}

} // namespace

TEST(SaveSets, DialogIsAskedForWhatTheHandlerSets) {
    test::FakeUserInterface ui;
    SaveSets(ui, listsOf({{"a", "b"}}));
    ASSERT_EQ(ui.fileDialogs.size(), 1u);
    const FileDialogRequest& r = ui.fileDialogs[0];
    EXPECT_TRUE(r.save);
    EXPECT_EQ(r.title, "Save");
    EXPECT_EQ(r.filter, "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|");
    EXPECT_EQ(r.flags, 2621953);
    EXPECT_EQ(r.fileName, "");
    // Cancelled: nothing written, nothing shown.
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(SaveSets, WritesOneCrLfLinePerSetAndGivesABareNameTheTextSuffix) {
    test::TempDir dir;
    test::FakeUserInterface ui;
    fs::path p = dir.path() / "sets";
    ui.fileAnswers.push_back(p.string());
    SaveSets(ui, listsOf({{"hi", "hello"}, {"peter", "pete"}}), dir.path().string());
    ASSERT_EQ(ui.fileDialogs.size(), 1u);
    EXPECT_EQ(ui.fileDialogs[0].directory, dir.path().string());
    // "Load Sets" looks for text files: a name without a suffix would be hidden there.
    EXPECT_EQ(fileText(dir.path() / "sets.txt"), "hi::hello\r\npeter::pete\r\n");
    EXPECT_TRUE(ui.boxes.empty());
    // Only the file itself is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(SaveSets, EmptyListsGiveAZeroByteFileThatLoadsNothing) {
    test::TempDir dir;
    test::FakeUserInterface ui;
    fs::path p = dir.path() / "empty.txt";
    SaveSetsToFile(ui, p.string(), SetLists());
    ASSERT_TRUE(fs::exists(p));
    EXPECT_EQ(fs::file_size(p), 0u);
    SetLists lists = listsOf({{"kept", "set"}});
    EXPECT_TRUE(LoadSets(ui, p.string(), "::", lists));
    // A zero-length file holds no sets, whatever the separator.
    EXPECT_TRUE(LoadSets(ui, p.string(), " ", lists));
    EXPECT_TRUE(LoadSets(ui, p.string(), "e", lists));
    EXPECT_EQ(setsOf(lists), (Sets{{"kept", "set"}}));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(SaveSets, OverwriteQuestionAndItsAnswers) {
    SetAppTitle();
    test::TempDir dir;
    fs::path p = dir.path() / "old.txt";
    write(p, "old content");
    test::FakeUserInterface ui;
    ui.fileAnswers.push_back(p.string());
    ui.answers.push_back(Answer::No);
    SaveSets(ui, listsOf({{"a", "b"}}));
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "Are you sure you wish to overwrite " + p.string() + " ?");
    EXPECT_EQ(ui.boxes[0].buttons, Buttons::YesNo);
    EXPECT_EQ(ui.boxes[0].icon, Icon::None);
    EXPECT_EQ(ui.boxes[0].title, "Quillmend");
    EXPECT_EQ(fileText(p), "old content");

    ui.answers.push_back(Answer::Yes);
    SaveSetsToFile(ui, p.string(), listsOf({{"a", "b"}}));
    EXPECT_EQ(ui.boxes.size(), 2u);
    EXPECT_EQ(fileText(p), "a::b\r\n");

    // A link keeps being a link; the file it points to gets the sets.
    fs::path link = dir.path() / "link.txt";
    fs::create_symlink(p, link);
    ui.answers.push_back(Answer::Yes);
    SaveSetsToFile(ui, link.string(), listsOf({{"c", "d"}}));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fileText(p), "c::d\r\n");
}

TEST(SaveSets, FailureIsReportedAtLine114AndLeavesNoFile) {
    test::TempDir dir;
    test::FakeUserInterface ui;
    fs::path p = dir.path() / "missing" / "sets.txt";
    ui.fileAnswers.push_back(p.string());
    SaveSets(ui, listsOf({{"a", "b"}}));
    ASSERT_EQ(ui.boxes.size(), 1u);
    const std::string& text = ui.boxes[0].text;
    const std::string tail = "\r\nin Quillworks2021/08/31.Form2.PushButton13_Click at line "
                             "114\r\rPlease email screenshot of this message to "
                             "support@quillmend.example";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(ui.boxes[0].icon, Icon::Exclamation);
    EXPECT_EQ(ui.boxes[0].title, "Application Error");
    EXPECT_FALSE(fs::exists(p));

    // A folder of that name is not replaced by a set file.
    fs::create_directory(dir.path() / "folder");
    ui.answers.push_back(Answer::Yes);
    EXPECT_THROW(SaveSetsToFile(ui, (dir.path() / "folder").string(), listsOf({{"a", "b"}})),
                 Error);
    EXPECT_TRUE(fs::is_directory(dir.path() / "folder"));
}

TEST(SetFiles, SaveThenLoadGivesBackTheSameSetsInOrder) {
    test::TempDir dir;
    const Sets sets{{"hi", "hello"},
                    {" leading and trailing ", "  two  blanks "},
                    {"O'Brien", "it's 'quoted'"},
                    {"Grüße", "Straße"},
                    {"日本語", "ÆØÅ æøå €"},
                    {"", "empty find"},
                    {"empty replace", ""},
                    {"tab\there", "x"},
                    {"hi", "hello"}};
    test::FakeUserInterface ui;
    fs::path p = dir.path() / "round.txt";
    SaveSetsToFile(ui, p.string(), listsOf(sets));
    SetLists lists = listsOf({{"already", "there"}});
    EXPECT_TRUE(LoadSets(ui, p.string(), "::", lists));
    Sets expected{{"already", "there"}};
    expected.insert(expected.end(), sets.begin(), sets.end());
    EXPECT_EQ(setsOf(lists), expected);
    // Loading again appends everything again.
    EXPECT_TRUE(LoadSets(ui, p.string(), "::", lists));
    EXPECT_EQ(lists.count(), 1 + 2 * static_cast<int>(sets.size()));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST(SetFiles, SeparatorsAndOddLines) {
    test::TempDir dir;
    EXPECT_EQ(loadText(dir, "hi,hello\npeter,pete", ","),
              (Sets{{"hi", "hello"}, {"peter", "pete"}}));
    // A find text holding the separator: the rest after the second one goes.
    EXPECT_EQ(loadText(dir, "a::b::c\r\n", "::"), (Sets{{"a", "b"}}));
    EXPECT_EQ(loadText(dir, "::x\r\ny::\r\n", "::"), (Sets{{"", "x"}, {"y", ""}}));
    // Exact, case-sensitive separators; blanks count.
    EXPECT_EQ(loadText(dir, "axb\naXb\n", "X"), (Sets{{"a", "b"}}));
    EXPECT_EQ(loadText(dir, "a :: b\na::b\n", " :: "), (Sets{{"a", "b"}}));
    // Empty lines and lines without the separator are passed over.
    EXPECT_EQ(loadText(dir, "\n\nno sep\r\n\r\nk::v\n\n", "::"), (Sets{{"k", "v"}}));
    // CR alone ends no line: the whole file is one line once the CRs are gone.
    EXPECT_EQ(loadText(dir, "a::b\rc::d\r", "::"), (Sets{{"a", "bc"}}));
    // A file of no usable line closes the dialog all the same.
    EXPECT_EQ(loadText(dir, "nothing here", "::"), Sets{});
    // The literal text "empty file" in a file is an ordinary line.
    EXPECT_EQ(loadText(dir, "empty file", " "), (Sets{{"empty", "file"}}));
}

TEST(SetFiles, LoadReadsOtherEncodings) {
    test::TempDir dir;
    // UTF-16LE with its byte-order mark, as Notepad writes "Unicode".
    std::string utf16("\xFF\xFEh\0i\0:\0:\0\xE9\0\r\0\n\0", 16);
    EXPECT_EQ(loadText(dir, utf16, "::"), (Sets{{"hi", "\xC3\xA9"}}));
    // UTF-8 with a byte-order mark.
    EXPECT_EQ(loadText(dir, "\xEF\xBB\xBFx::y\r\n", "::"), (Sets{{"x", "y"}}));
    // Windows-1252.
    EXPECT_EQ(loadText(dir, "caf\xE9::\x80\r\n", "::"), (Sets{{"caf\xC3\xA9", "\xE2\x82\xAC"}}));
}

TEST(SetFiles, LoadRefusals) {
    SetAppTitle();
    test::TempDir dir;
    std::string file = write(dir.path() / "s.txt", "a::b\n");
    SetLists lists;
    {
        test::FakeUserInterface ui;
        EXPECT_FALSE(LoadSets(ui, file, "", lists));
        ASSERT_EQ(ui.boxes.size(), 1u);
        expectInformation(ui.boxes[0], "You must enter separating character(s).");
        // The separator is checked before the file name.
        EXPECT_FALSE(LoadSets(ui, "", "", lists));
        EXPECT_EQ(ui.boxes.size(), 2u);
    }
    {
        test::FakeUserInterface ui;
        EXPECT_FALSE(LoadSets(ui, "", "::", lists));
        EXPECT_FALSE(LoadSets(ui, "   ", "::", lists));
        EXPECT_TRUE(ui.boxes.empty());
    }
    {
        test::FakeUserInterface ui;
        std::string missing = (dir.path() / "missing.txt").string();
        EXPECT_FALSE(LoadSets(ui, missing, "::", lists));
        ASSERT_EQ(ui.boxes.size(), 1u);
        expectInformation(ui.boxes[0], missing + " not found.");
        // A folder is no file; a name with a blank around it is taken as typed.
        EXPECT_FALSE(LoadSets(ui, dir.path().string(), "::", lists));
        EXPECT_FALSE(LoadSets(ui, " " + file, "::", lists));
        // Nor is a pipe, which would never end.
        std::string pipe = (dir.path() / "pipe.txt").string();
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        EXPECT_FALSE(LoadSets(ui, pipe, "::", lists));
        ASSERT_EQ(ui.boxes.size(), 4u);
        expectInformation(ui.boxes[1], dir.path().string() + " not found.");
        expectInformation(ui.boxes[2], " " + file + " not found.");
        expectInformation(ui.boxes[3], pipe + " not found.");
    }
    EXPECT_EQ(lists.count(), 0);
}
