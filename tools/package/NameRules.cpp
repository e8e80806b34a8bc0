#include "tools/package/NameRules.h"

#include "unpack/layout/PackageParse.h"

#include <cstdio>
#include <map>

#ifdef _WIN32
#include <windows.h>
#else
#include <glib.h>
#endif

namespace package {
namespace {

// The name as Windows reads it; false when the bytes are no UTF-8.
bool ToWide(const std::string& utf8, std::wstring& wide) {
    wide.clear();
    if (utf8.empty()) return true;
#ifdef _WIN32
    const int size = static_cast<int>(utf8.size());
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (length <= 0) return false;
    wide.resize(static_cast<size_t>(length));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, &wide[0], length) == length;
#else
    if (!g_utf8_validate(utf8.data(), static_cast<gssize>(utf8.size()), nullptr)) return false;
    for (const char* p = utf8.data(); p < utf8.data() + utf8.size(); p = g_utf8_next_char(p))
        wide += static_cast<wchar_t>(g_utf8_get_char(p));
    return true;
#endif
}

// How many UTF-16 characters Windows counts for the name.
size_t Utf16Length(const std::wstring& wide) {
    size_t length = wide.size();
#ifndef _WIN32
    for (wchar_t c : wide) length += c > 0xFFFF ? 1 : 0;
#endif
    return length;
}

// The name as Windows compares names: each character in upper case.
std::wstring UpperCase(std::wstring wide) {
#ifdef _WIN32
    if (!wide.empty()) CharUpperBuffW(&wide[0], static_cast<DWORD>(wide.size()));
#else
    for (wchar_t& c : wide) c = static_cast<wchar_t>(g_unichar_toupper(static_cast<gunichar>(c)));
#endif
    return wide;
}

std::string NameProblem(const std::wstring& name, const std::string& utf8) {
    wchar_t character = 0;
    switch (FindNameFault(name, &character)) {
    case NameFault::None: return "";
    case NameFault::Empty: return "it holds an empty name (two separators in a row, or one at an end)";
    case NameFault::DotName: return "it holds the name '" + utf8 + "', which names a folder and not a file";
    case NameFault::ForbiddenCharacter: {
        char text[64];
        if (character < 0x20)
            std::snprintf(text, sizeof(text), "the control character 0x%02X", static_cast<unsigned>(character));
        else
            std::snprintf(text, sizeof(text), "'%c'", static_cast<char>(character));
        return (character < 0x20 ? std::string("a name") : "the name '" + utf8 + "'") + " holds " + text +
               ", which Windows does not allow in names";
    }
    case NameFault::TrailingDotOrBlank: {
        std::string stripped = utf8;
        while (!stripped.empty() && (stripped.back() == '.' || stripped.back() == ' ')) stripped.pop_back();
        return "the name '" + utf8 + "' ends in a " + (utf8.back() == '.' ? "dot" : "blank") +
               ", which Windows strips: it would arrive as '" + stripped + "'";
    }
    case NameFault::DeviceName:
        return "the name '" + utf8 + "' is a device name to Windows (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or "
               "without an extension): no file of that name can be written";
    }
    return "";
}

}  // namespace

std::string CabinetPathProblem(const std::string& path, char separator) {
    std::wstring wide;
    if (!ToWide(path, wide)) return "the name is not valid UTF-8, so it names no Windows file";
    const std::wstring folder(kUsualUnpackFolder, kUsualUnpackFolder + sizeof(kUsualUnpackFolder) - 1);
    size_t from = 0, bytesFrom = 0;
    for (;;) {
        const size_t cut = wide.find(static_cast<wchar_t>(separator), from),
                     bytesCut = path.find(separator, bytesFrom);
        const std::wstring name = wide.substr(from, cut == std::wstring::npos ? std::wstring::npos : cut - from);
        const std::string utf8 = path.substr(bytesFrom, bytesCut == std::string::npos ? std::string::npos
                                                                                       : bytesCut - bytesFrom);
        const std::string problem = NameProblem(name, utf8);
        if (!problem.empty()) return problem;
        if (cut == std::wstring::npos) break;
        const size_t folderLength = Utf16Length(folder) + Utf16Length(wide.substr(0, cut));
        if (folderLength > kMaxFolderPathCharacters)
            return "its folder '" + path.substr(0, bytesCut) + "' below " + kUsualUnpackFolder + " would be " +
                   std::to_string(folderLength) + " characters long; Windows makes folders of at most " +
                   std::to_string(kMaxFolderPathCharacters) + " (MAX_PATH, 260 with the closing NUL, less 12)";
        from = cut + 1;
        bytesFrom = bytesCut + 1;
    }
    const size_t length = Utf16Length(folder) + Utf16Length(wide);
    if (length > kMaxPathCharacters)
        return std::string("its path below ") + kUsualUnpackFolder + " would be " + std::to_string(length) +
               " characters long; Windows paths hold at most " + std::to_string(kMaxPathCharacters) +
               " (MAX_PATH, 260 with the closing NUL)";
    return "";
}

std::vector<NameVerdict> CheckCabinetNames(const std::vector<std::string>& names, char separator,
                                           const std::vector<std::string>* shownAs) {
    std::vector<NameVerdict> verdicts;
    std::map<std::wstring, size_t> seen;  // upper-cased path -> its index
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& shown = shownAs != nullptr ? (*shownAs)[i] : names[i];
        std::string problem = CabinetPathProblem(names[i], separator);
        std::wstring wide;
        if (problem.empty() && ToWide(names[i], wide)) {
            const auto [earlier, fresh] = seen.emplace(UpperCase(wide), i);
            if (!fresh) {
                const std::string& other = shownAs != nullptr ? (*shownAs)[earlier->second] : names[earlier->second];
                problem = "it and '" + other + "' differ only in case: Windows holds one of the two only";
            }
        }
        if (!problem.empty()) verdicts.push_back({shown, problem});
    }
    return verdicts;
}

std::string CabinetSizeProblem(uint64_t bytes) {
    if (bytes <= kMaxCabinetFolderBytes) return "";
    return std::to_string(bytes) + " bytes, more than a cabinet holds (" + std::to_string(kMaxCabinetFolderBytes) +
           " bytes: 65535 blocks of 32 KiB)";
}

}  // namespace package
