#include "app/LibraryHardening.h"

#include <gtest/gtest.h>

// Libraries are only ever loaded by a full path into the system folder; when the
// system folder is unknown or not absolute, nothing is loaded at all.
TEST(LibraryHardeningTest, PathsAreAbsoluteOrNothing) {
    struct Case {
        const wchar_t* folder;
        const wchar_t* entry;
        bool appendDll;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"C:\\Windows\\system32", L"version", true, L"C:\\Windows\\system32\\version.dll"},
        {L"C:\\Windows\\system32", L"winspool.drv", false, L"C:\\Windows\\system32\\winspool.drv"},
        {L"\\\\server\\share\\system32", L"wtsapi32", true, L"\\\\server\\share\\system32\\wtsapi32.dll"},
        {L"", L"version", true, L""},
        {L"system32", L"version", true, L""},
        {L"C:", L"version", true, L""},
        {L"C:\\", L"version", true, L""},
        {L"\\Windows\\system32", L"version", true, L""},
        {L"C:Windows", L"version", true, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::wstring(c.folder).size() << " " << c.appendDll);
        EXPECT_EQ(std::wstring(c.expected), SystemLibraryPath(c.folder, c.entry, c.appendDll));
    }
}
