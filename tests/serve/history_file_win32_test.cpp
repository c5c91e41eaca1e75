// The history file's Windows side: what a start removes beside the file,
// and what a read refuses. The format and the rings are tested natively.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "history/HistoryFile.h"

namespace {

std::string Scratch() {
    char folder[MAX_PATH + 1];
    const DWORD length = GetTempPathA(MAX_PATH, folder);
    std::string path = std::string(folder, length) + "vantorix-history-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

bool Plain(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, "t", 1, &written, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return ok;
}

// Takes the scratch folder away again.
void Remove(const std::string& dir) {
    std::system(("rmdir /s /q \"" + dir + "\"").c_str());
}

bool There(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

// Only what a killed save left goes: not a file of another naming, not a
// folder, not one a save (of this server or a second one) is writing.
TEST(HistoryFileWindows, EarlierSavesTemporariesGoAtStart) {
    const std::string dir = Scratch();
    HANDLE held = INVALID_HANDLE_VALUE;
    const struct {
        const char* name;
        std::function<bool(const std::string&)> plant;
        bool goes;
    } rows[] = {
        {"history.Ab3xY9", Plain, true},
        {"history.Ab3xY0", [&](const std::string& p) {
             held = CreateFileA(p.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, 0, nullptr);
             return held != INVALID_HANDLE_VALUE;  // as WriteHistoryFile holds it
         }, false},
        {"history.Ab3x", Plain, false},
        {"history.Ab3xY9z", Plain, false},
        {"history.Ab3-Y9", Plain, false},
        {"other.Ab3xY9", Plain, false},
        {"history.Dir001", [](const std::string& p) { return CreateDirectoryA(p.c_str(), nullptr) != 0; }, false},
    };
    for (const auto& row : rows) ASSERT_TRUE(row.plant(dir + "\\" + row.name)) << row.name;
    { CHistoryFile started(dir + "\\history"); }
    for (const auto& row : rows) EXPECT_EQ(!row.goes, There(dir + "\\" + row.name)) << row.name;
    CloseHandle(held);
    Remove(dir);
}

// A save replaces the file whole and reads back; what is not a regular
// file, or is larger than allowed, is refused with a reason.
TEST(HistoryFileWindows, SavedBytesReadBackAndOthersAreRefused) {
    const std::string dir = Scratch(), path = dir + "\\state\\history";
    std::string why, bytes;
    ASSERT_TRUE(WriteHistoryFile(path, std::string(1000, 'h'), &why)) << why;
    ASSERT_TRUE(WriteHistoryFile(path, "kept", &why)) << why;
    ASSERT_TRUE(ReadHistoryFile(path, 100, &bytes, &why)) << why;
    EXPECT_EQ("kept", bytes);
    const struct {
        std::string path;
        std::size_t limit;
    } refused[] = {{dir + "\\state", 100}, {path, 3}};
    for (const auto& row : refused) {
        EXPECT_FALSE(ReadHistoryFile(row.path, row.limit, &bytes, &why)) << row.path;
        EXPECT_NE("", why) << row.path;
    }
    EXPECT_FALSE(ReadHistoryFile(dir + "\\none", 100, &bytes, &why));
    EXPECT_EQ("", why) << "no file is no fault";
    Remove(dir);
}
