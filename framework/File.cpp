#include "framework/File.h"

#include "utility/Format.h"

namespace {

const wchar_t* CauseText(int cause) {
    switch (cause) {
    case CFileException::fileNotFound: return L"the file was not found";
    case CFileException::badPath: return L"the path is not valid";
    case CFileException::tooManyOpenFiles: return L"too many files are open";
    case CFileException::accessDenied: return L"access was denied";
    case CFileException::invalidFile: return L"the file handle is not valid";
    case CFileException::removeCurrentDir: return L"the current folder cannot be removed";
    case CFileException::directoryFull: return L"the folder is full";
    case CFileException::badSeek: return L"the file position could not be set";
    case CFileException::hardIO: return L"a hardware error occurred";
    case CFileException::sharingViolation: return L"the file is in use by another process";
    case CFileException::lockViolation: return L"a region of the file is locked";
    case CFileException::diskFull: return L"the disk is full";
    case CFileException::endOfFile: return L"the end of the file was reached";
    default: return L"an unexpected error occurred";
    }
}

}  // namespace

void CFileException::Set(LONG osError, const std::wstring& fileName) {
    m_cause = OsErrorToCause(osError);
    m_lOsError = osError;
    m_strFileName = fileName;
}

void CFileException::Clear() {
    m_cause = none;
    m_lOsError = 0;
    m_strFileName.clear();
}

int CFileException::OsErrorToCause(LONG osError) {
    switch (osError) {
    case ERROR_SUCCESS: return none;
    case ERROR_FILE_NOT_FOUND: return fileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BAD_NETPATH: return badPath;
    case ERROR_TOO_MANY_OPEN_FILES: return tooManyOpenFiles;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT: return accessDenied;
    case ERROR_INVALID_HANDLE: return invalidFile;
    case ERROR_CURRENT_DIRECTORY: return removeCurrentDir;
    case ERROR_CANNOT_MAKE: return directoryFull;
    case ERROR_SEEK:
    case ERROR_NEGATIVE_SEEK: return badSeek;
    case ERROR_SHARING_VIOLATION: return sharingViolation;
    case ERROR_LOCK_VIOLATION: return lockViolation;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return diskFull;
    case ERROR_HANDLE_EOF: return endOfFile;
    case ERROR_CRC:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE: return hardIO;
    default: return genericException;
    }
}

BOOL CFileException::GetErrorMessage(LPWSTR buffer, UINT maxChars, PUINT helpContext) const {
    if (helpContext != nullptr) *helpContext = 0;
    if (buffer == nullptr || maxChars == 0) return FALSE;
    buffer[0] = L'\0';
    if (m_cause == none) return FALSE;

    std::wstring reason;
    if (m_lOsError != 0) {
        wchar_t* system = nullptr;
        DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            static_cast<DWORD>(m_lOsError), 0, reinterpret_cast<LPWSTR>(&system), 0, nullptr);
        if (length > 0 && system != nullptr) {
            reason.assign(system, length);
            while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' ' ||
                                       reason.back() == L'.'))
                reason.pop_back();
        }
        if (system != nullptr) ::LocalFree(system);
    }
    if (reason.empty()) reason = CauseText(m_cause);

    const wchar_t* name = m_strFileName.empty() ? L"an unnamed file" : m_strFileName.c_str();
    FormatBounded(buffer, maxChars, L"Cannot access %s: %s (error %d).", name, reason.c_str(),
                  static_cast<int>(m_lOsError));
    return TRUE;
}

CFile::~CFile() { Close(); }

void CFile::Fail(CFileException* error, LONG osError) const {
    if (error != nullptr) error->Set(osError, path_);
}

bool CFile::Open(const std::wstring& path, UINT flags, CFileException* error) {
    Close();
    path_ = path;
    if (error != nullptr) error->Clear();

    if (path.empty() || path.size() >= MAX_PATH) {
        if (error != nullptr) *error = CFileException(CFileException::badPath, 0, path);
        return false;
    }

    wchar_t full[MAX_PATH] = {};
    DWORD fullLength = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH) {
        if (error != nullptr) *error = CFileException(CFileException::badPath, 0, path);
        return false;
    }
    path_ = full;

    DWORD access = 0;
    switch (flags & 3) {
    case modeRead: access = GENERIC_READ; break;
    case modeWrite: access = GENERIC_WRITE; break;
    default: access = GENERIC_READ | GENERIC_WRITE; break;
    }
    DWORD share = 0;
    switch (flags & 0x70) {
    case shareDenyWrite: share = FILE_SHARE_READ; break;
    case shareDenyRead: share = FILE_SHARE_WRITE; break;
    case shareDenyNone: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: share = 0; break;
    }
    DWORD disposition = OPEN_EXISTING;
    if (flags & modeCreate) disposition = (flags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;

    HANDLE h = ::CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        Fail(error, static_cast<LONG>(::GetLastError()));
        return false;
    }
    handle_ = h;
    return true;
}

bool CFile::Read(void* buffer, DWORD count, DWORD& got, CFileException* error) {
    got = 0;
    if (!IsOpen()) {
        Fail(error, ERROR_INVALID_HANDLE);
        return false;
    }
    if (count == 0) return true;
    if (!::ReadFile(handle_, buffer, count, &got, nullptr)) {
        got = 0;
        Fail(error, static_cast<LONG>(::GetLastError()));
        return false;
    }
    return true;
}

bool CFile::Write(const void* buffer, DWORD count, CFileException* error) {
    if (!IsOpen()) {
        Fail(error, ERROR_INVALID_HANDLE);
        return false;
    }
    if (count == 0) return true;
    DWORD written = 0;
    if (!::WriteFile(handle_, buffer, count, &written, nullptr)) {
        Fail(error, static_cast<LONG>(::GetLastError()));
        return false;
    }
    if (written != count) {
        Fail(error, ERROR_DISK_FULL);
        return false;
    }
    return true;
}

bool CFile::Seek(LONGLONG offset, UINT from, ULONGLONG* newPosition, CFileException* error) {
    if (!IsOpen()) {
        Fail(error, ERROR_INVALID_HANDLE);
        return false;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!::SetFilePointerEx(handle_, distance, &position, from)) {
        Fail(error, static_cast<LONG>(::GetLastError()));
        return false;
    }
    if (newPosition != nullptr) *newPosition = static_cast<ULONGLONG>(position.QuadPart);
    return true;
}

bool CFile::GetLength(ULONGLONG& length) const {
    length = 0;
    LARGE_INTEGER size;
    if (!IsOpen() || !::GetFileSizeEx(handle_, &size)) return false;
    length = static_cast<ULONGLONG>(size.QuadPart);
    return true;
}

bool CFile::GetPosition(ULONGLONG& position) const {
    position = 0;
    LARGE_INTEGER zero = {};
    LARGE_INTEGER current;
    if (!IsOpen() || !::SetFilePointerEx(handle_, zero, &current, FILE_CURRENT)) return false;
    position = static_cast<ULONGLONG>(current.QuadPart);
    return true;
}

bool CFile::Close(CFileException* error) {
    if (!IsOpen()) return true;
    BOOL closed = ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (!closed) {
        Fail(error, static_cast<LONG>(::GetLastError()));
        return false;
    }
    return true;
}
