#include "tests/harness/Scenario.h"

#include "framework/Handle.h"
#include "tools/package/PackageWriter.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <set>

namespace scenario {

const wchar_t kUnpackerMutexName[] = L"Global\\{47B9233E-7E50-46F2-B442-6A53F0D0F508}";

namespace {

// Polling rhythm of Run(): short enough that a box is seen within a few tens of
// milliseconds, long enough to leave the machine's two cores to the program.
constexpr DWORD kPollMs = 20;
// Every cross-process message gets this limit: a wedged program must not wedge
// the harness.
constexpr UINT kMessageLimitMs = 2000;

// Message box controls: the text is a static control with id 0xFFFF; the icon a
// static control whose id differs (0x440 in Wine, 0x14 on Windows).
constexpr int kBoxTextId = 0xFFFF;
constexpr int kBoxIconIds[] = {0x440, 0x14};

std::wstring Widen(const char* text) {
    if (text == nullptr || *text == '\0') return std::wstring();
    int size = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text, -1, &result[0], size);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

std::wstring FileNameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring ParentOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// ---- Registry ----------------------------------------------------------------

constexpr REGSAM kView32 = KEY_WOW64_32KEY;

bool OpenKey(HKEY root, const std::wstring& path, REGSAM access, ScopedRegKey& key) {
    return ::RegOpenKeyExW(root, path.c_str(), 0, access, key.Receive()) == ERROR_SUCCESS;
}

bool CreateKey(HKEY root, const std::wstring& path, REGSAM access, ScopedRegKey& key) {
    return ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, key.Receive(), nullptr) ==
           ERROR_SUCCESS;
}

bool SetValue(HKEY root, REGSAM view, const std::wstring& key, const std::wstring& name, DWORD type,
              const void* data, DWORD size) {
    ScopedRegKey k;
    if (!CreateKey(root, key, KEY_SET_VALUE | view, k)) return false;
    return ::RegSetValueExW(k.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

bool DeleteValue(HKEY root, REGSAM view, const std::wstring& key, const std::wstring& name) {
    ScopedRegKey k;
    if (!OpenKey(root, key, KEY_SET_VALUE | KEY_QUERY_VALUE | view, k)) return true;  // no key, no value
    LONG result = ::RegDeleteValueW(k.Get(), name.c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

// ---- Log ----------------------------------------------------------------------

uint64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool IsDigits(const std::wstring& text, size_t from, size_t count) {
    if (from + count > text.size()) return false;
    for (size_t i = from; i < from + count; ++i)
        if (text[i] < L'0' || text[i] > L'9') return false;
    return true;
}

// "YYYY-MM-DD HH:MM:SS" at position from.
bool IsTimeStamp(const std::wstring& text, size_t from) {
    return text.size() >= from + 19 && IsDigits(text, from, 4) && text[from + 4] == L'-' && IsDigits(text, from + 5, 2) &&
           text[from + 7] == L'-' && IsDigits(text, from + 8, 2) && text[from + 10] == L' ' &&
           IsDigits(text, from + 11, 2) && text[from + 13] == L':' && IsDigits(text, from + 14, 2) &&
           text[from + 16] == L':' && IsDigits(text, from + 17, 2);
}

LogLine ParseLine(const std::wstring& raw) {
    LogLine line;
    line.raw = raw;
    size_t position = 0;
    if (!raw.empty() && raw[0] == L'[') {
        size_t close = raw.find(L']');
        if (close != std::wstring::npos) {
            line.processId = static_cast<DWORD>(std::wcstoul(raw.substr(1, close - 1).c_str(), nullptr, 10));
            position = close + 1;
        }
    }
    if (IsTimeStamp(raw, position)) {
        line.time = raw.substr(position, 19);
        position += 19;
    }
    if (raw.compare(position, 2, L"  ") == 0) position += 2;
    size_t last = raw.rfind(L" (Last=");
    if (last != std::wstring::npos && last >= position && !raw.empty() && raw.back() == L')') {
        line.message = raw.substr(position, last - position);
        line.lastError = static_cast<int>(std::wcstol(raw.c_str() + last + 7, nullptr, 10));
    } else {
        line.message = raw.substr(std::min(position, raw.size()));
    }
    return line;
}

// ---- Message boxes -------------------------------------------------------------

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId) return TRUE;
    wchar_t className[64] = {};
    ::GetClassNameW(window, className, 64);
    if (wcscmp(className, L"#32770") == 0) search->found.push_back(window);
    return TRUE;
}

std::wstring TextOf(HWND window) {
    // WM_GETTEXT is answered by the window's own thread, so it works for a
    // control in another process; the limit guards against a hung program.
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageLimitMs, &length)) {
        wchar_t buffer[4096] = {};
        ::GetWindowTextW(window, buffer, 4096);
        return buffer;
    }
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_ABORTIFHUNG,
                          kMessageLimitMs, &copied);
    text.resize(static_cast<size_t>(copied));
    return text;
}

bool HasIcon(HWND box) {
    for (int id : kBoxIconIds) {
        HWND icon = ::GetDlgItem(box, id);
        if (icon == nullptr || !::IsWindowVisible(icon)) continue;
        DWORD_PTR handle = 0;
        if (::SendMessageTimeoutW(icon, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kMessageLimitMs, &handle) && handle != 0)
            return true;
    }
    return false;
}

void PressOk(HWND box) {
    // A MB_OK box's only button: IDOK in Wine; Windows gives it IDCANCEL so that
    // Escape works too.
    HWND button = ::GetDlgItem(box, IDOK);
    int id = IDOK;
    if (button == nullptr) {
        button = ::GetDlgItem(box, IDCANCEL);
        id = IDCANCEL;
    }
    DWORD_PTR ignored = 0;
    if (button != nullptr &&
        ::SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kMessageLimitMs, &ignored))
        return;
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

// Follows the boxes of one process: each box is reported once, when it has
// become visible (its text is set by then), and then dismissed if wanted.
class BoxWatcher {
public:
    BoxWatcher(DWORD processId, bool dismiss) : processId_(processId), dismiss_(dismiss) {}

    void Poll(std::vector<BoxSeen>& boxes) {
        WindowSearch search{processId_, {}};
        ::EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
        // Forget boxes that are gone: a later box may get the same handle.
        for (auto it = seen_.begin(); it != seen_.end();)
            it = std::find(search.found.begin(), search.found.end(), *it) == search.found.end() ? seen_.erase(it)
                                                                                                 : std::next(it);
        for (HWND box : search.found) {
            if (seen_.count(box) != 0) {
                // Still there after a press (a click can be lost while the box
                // is still settling): press again, without reporting it twice.
                if (dismiss_ && ::IsWindowVisible(box)) PressOk(box);
                continue;
            }
            if (!::IsWindowVisible(box)) continue;
            BoxSeen seenBox;
            seenBox.caption = TextOf(box);
            HWND text = ::GetDlgItem(box, kBoxTextId);
            if (text != nullptr) seenBox.text = TextOf(text);
            seenBox.style = HasIcon(box) ? MB_ICONINFORMATION : MB_OK;
            boxes.push_back(seenBox);
            seen_.insert(box);
            if (dismiss_) PressOk(box);
        }
    }

private:
    DWORD processId_;
    bool dismiss_;
    std::set<HWND> seen_;
};

// ---- Processes -----------------------------------------------------------------

std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    // The rules of CommandLineToArgvW and the C runtime: backslashes are literal
    // unless they precede a quote.
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') quoted.append(backslashes * 2 + 1, L'\\');
        else quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

// Calls visit for every process of the machine.
template <typename Visit>
void ForEachProcess(Visit visit) {
    ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry))
        visit(entry);
}

std::vector<DWORD> ChildrenOf(DWORD parentId) {
    std::vector<DWORD> children;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (entry.th32ParentProcessID == parentId && entry.th32ProcessID != parentId)
            children.push_back(entry.th32ProcessID);
    });
    return children;
}

// Starts the program with the command line as given; an invalid object (and
// the error in GetLastError) when it could not start.
ChildProcess Launch(const std::wstring& exe, std::wstring commandLine, const std::wstring& workingFolder) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    const wchar_t* folder = workingFolder.empty() ? nullptr : workingFolder.c_str();
    // Once in a few hundred starts Wine refuses a start that succeeds when
    // tried again (seen with both loaders, for cmd.exe and for the unpacker,
    // with nothing else running). The program has not run then, so one more
    // try after a pause tells nothing false; a second refusal is the result,
    // with the system's error left in GetLastError.
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder, &startup,
                          &info)) {
        ::Sleep(250);
        if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder, &startup,
                              &info))
            return ChildProcess();
    }
    ::CloseHandle(info.hThread);
    return ChildProcess(info.hProcess, info.dwProcessId);
}

// At a time limit the program and whatever it started are ended, so that the
// next test starts on a quiet machine.
void KillTree(DWORD processId, HANDLE process, int depth = 0) {
    if (depth < 8)
        for (DWORD child : ChildrenOf(processId)) {
            HANDLE handle = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, child);
            if (handle == nullptr) continue;
            KillTree(child, handle, depth + 1);
            ::CloseHandle(handle);
        }
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 5000);
}

class AppDefaultsVersion {
public:
    AppDefaultsVersion(const std::wstring& exe, const std::wstring& version) : exeName_(FileNameOf(exe)) {
        if (!version.empty()) active_ = SetWindowsVersionFor(exeName_, version);
    }
    ~AppDefaultsVersion() {
        if (active_) SetWindowsVersionFor(exeName_, std::wstring());
    }

private:
    std::wstring exeName_;
    bool active_ = false;
};

}  // namespace

// ---- Run -------------------------------------------------------------------------

RunResult Run(const RunOptions& options) {
    RunResult result;
    std::wstring exe = options.exe.empty() ? ProductExe() : options.exe;
    AppDefaultsVersion version(exe, options.windowsVersion);

    std::wstring logPath = LogPath();
    uint64_t logStart = FileSize(logPath);

    ChildProcess process = Launch(exe, BuildCommandLine(exe, options.args, options.commandName), options.workingFolder);
    if (!process.IsValid()) {
        result.finished = false;
        result.exitCode = ::GetLastError();
        return result;
    }

    BoxWatcher watcher(process.Id(), options.dismissBoxes);
    ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
    for (;;) {
        if (::WaitForSingleObject(process.Handle(), kPollMs) != WAIT_TIMEOUT) {
            result.finished = true;
            break;
        }
        watcher.Poll(result.boxes);
        if (::GetTickCount64() >= deadline) {
            KillTree(process.Id(), process.Handle());
            result.finished = false;
            break;
        }
    }
    ::GetExitCodeProcess(process.Handle(), &result.exitCode);

    std::vector<unsigned char> bytes = ReadFileBytes(logPath);
    // A log that shrank was removed during the run: all of it is new.
    size_t from = logStart <= bytes.size() ? static_cast<size_t>(logStart) : 0;
    result.log = ParseLog(std::vector<unsigned char>(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end()));
    return result;
}

// ---- Paths -------------------------------------------------------------------------

std::wstring WindowsPathOf(const char* unixPath) {
    std::wstring path = Widen(unixPath);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return L"Z:" + path;
}

std::wstring ProductExe() { return WindowsPathOf(UNPACK_PRODUCT_EXE); }

std::wstring FixturePath(const std::wstring& exeName) {
    return WindowsPathOf(UNPACK_FIXTURES_DIR) + L"\\" + exeName;
}

std::wstring CabinetPath(const std::wstring& name) { return WindowsPathOf(UNPACK_CABINETS_DIR) + L"\\" + name; }

std::wstring SourcePath(const std::wstring& relative) {
    std::wstring path = WindowsPathOf(UNPACK_SOURCE_DIR);
    if (relative.empty()) return path;
    std::wstring tail = relative;
    std::replace(tail.begin(), tail.end(), L'/', L'\\');
    return path + L"\\" + tail;
}

// ---- Log -----------------------------------------------------------------------------

std::wstring LogPath() {
    // The account's temporary folder, as the unpacker asks for it.
    wchar_t folder[MAX_PATH + 1] = {};
    DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        wchar_t windows[MAX_PATH] = {};
        ::GetWindowsDirectoryW(windows, MAX_PATH);
        return std::wstring(windows) + L"\\Temp\\unpack.log";
    }
    return std::wstring(folder) + L"unpack.log";
}

std::vector<LogLine> ParseLog(const std::vector<unsigned char>& bytes) {
    std::vector<LogLine> lines;
    std::wstring current;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wchar_t c = static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
        if (c == L'\n' && !current.empty() && current.back() == L'\r') {
            current.pop_back();
            lines.push_back(ParseLine(current));
            current.clear();
        } else {
            current += c;
        }
    }
    // A last line without its line end is reported as it stands.
    if (!current.empty()) lines.push_back(ParseLine(current));
    return lines;
}

std::vector<LogLine> ReadLog() { return ParseLog(ReadFileBytes(LogPath())); }

void ResetLog() {
    std::wstring path = LogPath();
    // The log may be held for a moment by a program that is still writing.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND) return;
        ::Sleep(20);
    }
}

// ---- Files and folders ---------------------------------------------------------------

std::wstring ScratchFolder(const std::wstring& name) {
    std::wstring folder = L"C:\\upf-scenario\\" + name;
    RemoveTree(folder);
    CreateFolders(folder);
    return folder;
}

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool CreateFolders(const std::wstring& folder) {
    if (folder.empty()) return false;
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::wstring parent = ParentOf(folder);
    if (!parent.empty() && parent.back() != L':' && !CreateFolders(parent)) return false;
    return ::CreateDirectoryW(folder.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool CopyFileTo(const std::wstring& from, const std::wstring& to) {
    std::wstring parent = ParentOf(to);
    if (!parent.empty()) CreateFolders(parent);
    ::SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

std::vector<unsigned char> ReadFileBytes(const std::wstring& path) {
    std::vector<unsigned char> bytes;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    unsigned char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.insert(bytes.end(), buffer, buffer + read);
    ::CloseHandle(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    std::wstring parent = ParentOf(path);
    if (!parent.empty()) CreateFolders(parent);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < bytes.size()) {
        DWORD written = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        ok = ::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ::CloseHandle(file);
    return ok;
}

bool WriteTextFile(const std::wstring& path, const std::string& text) {
    return WriteFileBytes(path, std::vector<unsigned char>(text.begin(), text.end()));
}

std::wstring ReadUtf16File(const std::wstring& path) {
    std::vector<unsigned char> bytes = ReadFileBytes(path);
    std::wstring text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
    return text;
}

bool RemoveTree(const std::wstring& folder) {
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
        return ::DeleteFileW(folder.c_str()) != FALSE;
    }
    // A link is removed itself; what it points to lies outside the tree.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW entry;
        HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                RemoveTree(folder + L"\\" + name);
            } while (::FindNextFileW(search, &entry));
            ::FindClose(search);
        }
    }
    ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(folder.c_str());
    return !PathExists(folder);
}

// ---- Registry ------------------------------------------------------------------------

bool SetHklmString(const std::wstring& key, const std::wstring& name, const std::wstring& value, DWORD type) {
    return SetValue(HKEY_LOCAL_MACHINE, kView32, key, name, type, value.c_str(),
                    static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool SetHklmDword(const std::wstring& key, const std::wstring& name, DWORD value) {
    return SetValue(HKEY_LOCAL_MACHINE, kView32, key, name, REG_DWORD, &value, sizeof(value));
}

bool ReadHklmString(const std::wstring& key, const std::wstring& name, std::wstring& value, DWORD* type) {
    ScopedRegKey k;
    if (!OpenKey(HKEY_LOCAL_MACHINE, key, KEY_QUERY_VALUE | kView32, k)) return false;
    DWORD valueType = 0;
    DWORD size = 0;
    if (::RegQueryValueExW(k.Get(), name.c_str(), nullptr, &valueType, nullptr, &size) != ERROR_SUCCESS) return false;
    std::vector<BYTE> data(size + sizeof(wchar_t), 0);
    if (::RegQueryValueExW(k.Get(), name.c_str(), nullptr, &valueType, data.data(), &size) != ERROR_SUCCESS) return false;
    if (type != nullptr) *type = valueType;
    value.assign(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0') value.pop_back();
    return true;
}

bool ReadHklmDword(const std::wstring& key, const std::wstring& name, DWORD& value) {
    ScopedRegKey k;
    if (!OpenKey(HKEY_LOCAL_MACHINE, key, KEY_QUERY_VALUE | kView32, k)) return false;
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (::RegQueryValueExW(k.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return false;
    value = data;
    return true;
}

bool HklmValueExists(const std::wstring& key, const std::wstring& name) {
    ScopedRegKey k;
    if (!OpenKey(HKEY_LOCAL_MACHINE, key, KEY_QUERY_VALUE | kView32, k)) return false;
    return ::RegQueryValueExW(k.Get(), name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool HklmKeyExists(const std::wstring& key) {
    ScopedRegKey k;
    return OpenKey(HKEY_LOCAL_MACHINE, key, KEY_READ | kView32, k);
}

bool CreateHklmKey(const std::wstring& key) {
    ScopedRegKey k;
    return CreateKey(HKEY_LOCAL_MACHINE, key, KEY_READ | kView32, k);
}

bool DeleteHklmValue(const std::wstring& key, const std::wstring& name) {
    return DeleteValue(HKEY_LOCAL_MACHINE, kView32, key, name);
}

bool DeleteHklmTree(const std::wstring& key) { return DeleteRegistryTree(HKEY_LOCAL_MACHINE, key); }

bool DeleteRegistryTree(HKEY root, const std::wstring& key) {
    if (key.empty()) return false;  // never the root itself
    const REGSAM view = HostView(root);
    {
        ScopedRegKey k;
        if (OpenKey(root, key, KEY_ALL_ACCESS | view, k)) ::RegDeleteTreeW(k.Get(), nullptr);
    }
    ::RegDeleteKeyExW(root, key.c_str(), view, 0);
    ScopedRegKey left;
    return !OpenKey(root, key, KEY_READ | view, left);
}

REGSAM HostView(HKEY root) { return root == HKEY_LOCAL_MACHINE ? kView32 : 0; }

namespace {

const wchar_t kMakerBackupKey[] = L"Software\\UnPackFileTests\\MakerBackup";

bool CopyHklmTree(const std::wstring& from, const std::wstring& to) {
    ScopedRegKey source, target;
    return OpenKey(HKEY_LOCAL_MACHINE, from, KEY_READ | kView32, source) &&
           CreateKey(HKEY_LOCAL_MACHINE, to, KEY_ALL_ACCESS | kView32, target) &&
           ::RegCopyTreeW(source.Get(), nullptr, target.Get()) == ERROR_SUCCESS;
}

}  // namespace

MakerState::MakerState() : folder_(MakerProgramsFolder()), folderExisted_(PathExists(folder_)) {
    DeleteHklmTree(kMakerBackupKey);
    hadKeys_ = HklmKeyExists(kMakerKey);
    ready_ = (!hadKeys_ || CopyHklmTree(kMakerKey, kMakerBackupKey)) && DeleteHklmTree(kMakerKey);
    ResetLog();
}

MakerState::~MakerState() {
    DeleteHklmTree(kMakerKey);
    if (hadKeys_ && ready_) CopyHklmTree(kMakerBackupKey, kMakerKey);
    DeleteHklmTree(kMakerBackupKey);
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\UnPackFileTests", kView32, 0);  // only when empty
    for (const wchar_t* name : {L"CloudAutoUpdateStatus", L"AutoUpgradeManual"})
        ::RegDeleteValueW(HKEY_LOCAL_MACHINE, name);
    if (!folderExisted_ && !folder_.empty()) RemoveTree(folder_);
    ResetLog();
}

// ---- The single-instance lock ------------------------------------------------------

HeldMutex::HeldMutex(const std::wstring& name) { handle_ = ::CreateMutexW(nullptr, FALSE, name.c_str()); }

HeldMutex::~HeldMutex() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
}

// ---- Processes ---------------------------------------------------------------------

ChildProcess::~ChildProcess() { Kill(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : process_(other.process_), id_(other.id_) {
    other.process_ = nullptr;
    other.id_ = 0;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        Kill();
        process_ = other.process_;
        id_ = other.id_;
        other.process_ = nullptr;
        other.id_ = 0;
    }
    return *this;
}

bool ChildProcess::IsRunning() const {
    return process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool ChildProcess::WaitForEnd(DWORD limitMs, DWORD* exitCode) const {
    return process_ != nullptr && WaitForProcessEnd(process_, limitMs, exitCode);
}

void ChildProcess::Kill() {
    if (process_ == nullptr) return;
    if (IsRunning()) {
        ::TerminateProcess(process_, 1);
        ::WaitForSingleObject(process_, 5000);
    }
    ::CloseHandle(process_);
    process_ = nullptr;
    id_ = 0;
}

std::wstring BuildCommandLine(const std::wstring& exe, const std::vector<std::wstring>& args) {
    return BuildCommandLine(exe, args, std::wstring());
}

std::wstring BuildCommandLine(const std::wstring& exe, const std::vector<std::wstring>& args,
                              const std::wstring& commandName) {
    // The program's name is quoted whole: its backslashes are never escapes.
    const std::wstring& name = commandName.empty() ? exe : commandName;
    std::wstring line = name.find_first_of(L" \t") == std::wstring::npos ? name : L"\"" + name + L"\"";
    for (const std::wstring& argument : args) line += L" " + QuoteArgument(argument);
    return line;
}

ChildProcess StartProcess(const std::wstring& exe, const std::vector<std::wstring>& args,
                          const std::wstring& workingFolder) {
    return Launch(exe, BuildCommandLine(exe, args), workingFolder);
}

ChildProcess StartSleeperAs(const std::wstring& folder, const std::wstring& name, DWORD seconds) {
    std::wstring path = folder + L"\\" + name;
    if (!CopyFileTo(FixturePath(L"sleeper.exe"), path)) return ChildProcess();
    return StartProcess(path, {std::to_wstring(seconds)}, folder);
}

bool WaitForProcessEnd(HANDLE process, DWORD limitMs, DWORD* exitCode) {
    if (::WaitForSingleObject(process, limitMs) != WAIT_OBJECT_0) return false;
    if (exitCode != nullptr) ::GetExitCodeProcess(process, exitCode);
    return true;
}

bool StartUnixProgram(const std::wstring& program, const std::wstring& arguments) {
    std::wstring image = L"Z:" + program;
    std::replace(image.begin(), image.end(), L'/', L'\\');
    if (!PathExists(image)) return false;
    ChildProcess starter = StartProcess(FixturePath(L"unixstart.exe"), {image, L"\"" + program + L"\" " + arguments});
    DWORD code = 1;
    return starter.IsValid() && starter.WaitForEnd(30000, &code) && code == 0;
}

bool StartUnixProgram(const std::wstring& program, const std::string& arguments) {
    return StartUnixProgram(program, std::wstring(arguments.begin(), arguments.end()));
}

std::string UnixPathOf(const std::wstring& path) {
    using Convert = char*(CDECL*)(const wchar_t*);
    auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return std::string();
    char* converted = convert(path.c_str());
    if (converted == nullptr) return std::string();
    std::string result(converted);
    ::HeapFree(::GetProcessHeap(), 0, converted);
    return result;
}

bool IsReparsePoint(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool MakeSymbolicLink(const std::wstring& link, const std::wstring& target, bool folder) {
    std::string unixLink = UnixPathOf(link);
    std::string unixTarget = UnixPathOf(target);
    if (!unixLink.empty() && !unixTarget.empty()) {
        // Wine starts a Unix program without handing back its process: wait for its effect.
        if (!StartUnixProgram(L"/bin/ln", "-s \"" + unixTarget + "\" \"" + unixLink + "\"")) return false;
        WaitUntil([&] { return PathExists(link); }, 10000);
    } else {
        ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                              (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2 /* unprivileged */);
    }
    return IsReparsePoint(link);
}

namespace {

// Where Wine maps \\server\share: <prefix>/dosdevices/unc/server/share.
std::string UnixShareFolder(const std::wstring& server, const std::wstring& share) {
    std::string windows = UnixPathOf(L"C:\\windows");
    size_t prefixEnd = windows.find("/dosdevices/");
    if (prefixEnd == std::string::npos) prefixEnd = windows.find("/drive_c/");
    if (prefixEnd == std::string::npos) return std::string();
    return windows.substr(0, prefixEnd) + "/dosdevices/unc/" + Narrow(server) + "/" + Narrow(share);
}

}  // namespace

std::wstring MakeShare(const std::wstring& server, const std::wstring& share, const std::wstring& folder) {
    std::string link = UnixShareFolder(server, share);
    std::string target = UnixPathOf(folder);
    if (link.empty() || target.empty()) return std::wstring();
    std::string script = "mkdir -p '" + link.substr(0, link.rfind('/')) + "' && ln -sfn '" + target + "' '" + link + "'";
    std::wstring unc = L"\\\\" + server + L"\\" + share;
    if (!StartUnixProgram(L"/bin/sh", "-c \"" + script + "\"")) return std::wstring();
    return WaitUntil([&] { return PathExists(unc + L"\\"); }, 10000) ? unc : std::wstring();
}

void RemoveShare(const std::wstring& server, const std::wstring& share) {
    std::string link = UnixShareFolder(server, share);
    if (link.empty()) return;
    std::wstring unc = L"\\\\" + server + L"\\" + share + L"\\";
    if (StartUnixProgram(L"/bin/rm", "-f '" + link + "'")) WaitUntil([&] { return !PathExists(unc); }, 10000);
}

std::vector<DWORD> FindProcessesByName(const std::wstring& imageName) {
    std::vector<DWORD> ids;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (_wcsicmp(entry.szExeFile, imageName.c_str()) == 0) ids.push_back(entry.th32ProcessID);
    });
    return ids;
}

// ---- Wine ------------------------------------------------------------------------------

bool SetWindowsVersionFor(const std::wstring& exeFileName, const std::wstring& version) {
    std::wstring key = L"Software\\Wine\\AppDefaults\\" + exeFileName;
    if (!version.empty())
        return SetValue(HKEY_CURRENT_USER, 0, key, L"Version", REG_SZ, version.c_str(),
                        static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t)));
    bool removed = DeleteValue(HKEY_CURRENT_USER, 0, key, L"Version");
    // The program's key goes too when nothing else is set in it.
    ScopedRegKey k;
    if (OpenKey(HKEY_CURRENT_USER, key, KEY_READ, k)) {
        DWORD subkeys = 0;
        DWORD values = 0;
        if (::RegQueryInfoKeyW(k.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            subkeys == 0 && values == 0)
            ::RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    }
    return removed;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string DescribeLog(const std::vector<LogLine>& log) {
    std::string out;
    for (const LogLine& line : log) out += "  " + Narrow(line.raw.substr(0, 300)) + "\n";
    return out;
}

std::string DescribeRun(const RunResult& result) {
    // After a start that was refused, the exit code is the system's error.
    std::string out = "exit code: " + std::to_string(result.exitCode) + "\nlog:\n" + DescribeLog(result.log) + "boxes:\n";
    for (const BoxSeen& box : result.boxes) out += "  [" + Narrow(box.caption) + "] " + Narrow(box.text) + "\n";
    return out;
}

bool HasLine(const std::vector<LogLine>& log, const std::wstring& message) { return CountLines(log, message) > 0; }

bool HasLineStarting(const std::vector<LogLine>& log, const std::wstring& prefix) {
    for (const LogLine& line : log)
        if (line.message.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

int CountLines(const std::vector<LogLine>& log, const std::wstring& message) {
    int count = 0;
    for (const LogLine& line : log)
        if (line.message == message) ++count;
    return count;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs) {
    for (DWORD waited = 0; waited < limitMs; waited += 50) {
        if (condition()) return true;
        ::Sleep(50);
    }
    return condition();
}

bool WaitUntilGone(const std::wstring& path, DWORD limitMs) {
    return WaitUntil([&] { return !PathExists(path); }, limitMs);
}

std::wstring ProgramFilesX86() {
    wchar_t folder[MAX_PATH] = {};
    // The unpacker's own fallback, for a system without the 32-bit programs folder's name.
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, 0, folder)) &&
        FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, folder)))
        return std::wstring();
    return folder;
}

std::wstring MakerProgramsFolder() {
    std::wstring programs = ProgramFilesX86();
    return programs.empty() ? std::wstring() : programs + L"\\Kestrune";
}

std::wstring UnpackFolder() { return ProgramFilesX86() + L"\\Kestrune\\Kestrune Remote\\AutoUpdate\\"; }

std::wstring ProductVersionOf(const std::wstring& exe) {
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    if (size == 0) return std::wstring();
    std::vector<unsigned char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoW(exe.c_str(), 0, size, block.data()) ||
        !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr)
        return std::wstring();
    return std::to_wstring(HIWORD(info->dwProductVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwProductVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwProductVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwProductVersionLS));
}

void ResetUpgradeWorld() {
    DeleteHklmTree(kHostKey);
    DeleteHklmTree(kUpdaterKey);
    std::wstring maker = MakerProgramsFolder();
    if (!maker.empty()) RemoveTree(maker);
    ResetLog();
    for (const wchar_t* name : {L"FAKEHOST_LOG", L"FAKEHOST_EXIT_I", L"FAKEHOST_EXIT_R", L"UNPACK_TEST_EXPAND_EXIT",
                                L"UNPACK_TEST_TIMEOUT_LOG"})
        ::SetEnvironmentVariableW(name, nullptr);
}

std::wstring DeliverPackage(const std::wstring& root, const std::wstring& entryFile) {
    std::wstring data = root + L"\\mox\\download\\data";
    EXPECT_TRUE(CreateFolders(data));
    std::wstring cabinet = root + L"\\package1.cab";
    if (_wcsicmp(entryFile.c_str(), cabinet.c_str()) != 0) {
        EXPECT_TRUE(CopyFileTo(entryFile, cabinet));
    }
    std::wstring exe = data + L"\\UnPackFile.exe";
    std::string error;
    // The scenarios deliver damaged and empty cabinets too: the unpacker, not
    // the writer, is under test.
    EXPECT_TRUE(package::PackFiles(Narrow(ProductExe()), {Narrow(cabinet)}, Narrow(exe), error,
                                   package::UncheckedForTests()))
        << error;
    return exe;
}

}  // namespace scenario
