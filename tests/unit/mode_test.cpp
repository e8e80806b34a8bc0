// The command-line rule of the upgrade driver: an argument that reads "S" once
// every '/' and '-' is removed (case ignored) selects auto mode; element 0, the
// program path, is examined too, but only when there are two or more elements.
#include "app/UnPackFileApp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool Manual(std::vector<std::wstring> arguments) {
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : arguments) argv.push_back(&argument[0]);
    argv.push_back(nullptr);
    return IsManualMode(static_cast<int>(arguments.size()), argv.data());
}

struct Row {
    std::vector<std::wstring> argv;
    bool manual;
};

TEST(ModeTest, Table) {
    const std::wstring exe = L"C:\\mox\\x\\data\\UnPackFile.exe";
    const Row rows[] = {
        // The switch and its spellings.
        {{exe, L"/S"}, false},
        {{exe, L"/s"}, false},
        {{exe, L"-s"}, false},
        {{exe, L"-S"}, false},
        {{exe, L"s"}, false},
        {{exe, L"S"}, false},
        {{exe, L"/-S"}, false},
        {{exe, L"-/s"}, false},
        {{exe, L"//S--"}, false},
        {{exe, L"s/"}, false},
        // Anywhere on the line, among other arguments.
        {{exe, L"/q", L"/S"}, false},
        {{exe, L"/S", L"/q"}, false},
        {{exe, L"x", L"y", L"-s"}, false},
        // Not the switch.
        {{exe, L"-silent"}, true},
        {{exe, L"/silent"}, true},
        {{exe, L"/q"}, true},
        {{exe, L"/SS"}, true},
        {{exe, L"/S1"}, true},
        {{exe, L"/ S"}, true},
        {{exe, L""}, true},
        {{exe, L"/"}, true},
        {{exe, L"-"}, true},
        {{exe, L"\u0161"}, true},
        {{exe, L"x"}, true},
        // No argument at all.
        {{exe}, true},
        {{}, true},
        // Element 0 is examined once there are two or more elements.
        {{L"S", L"x"}, false},
        {{L"/s", L"anything"}, false},
        {{L"s"}, true},
        {{L"/S"}, true},
    };
    for (const Row& row : rows) {
        std::string label;
        for (const std::wstring& a : row.argv) label += "[" + std::string(a.begin(), a.end()) + "]";
        SCOPED_TRACE(label);
        EXPECT_EQ(Manual(row.argv), row.manual);
    }
}

}  // namespace
