// The file class of the application shell: binary, synchronous, no exceptions.
// Every failure comes back as false, and a failed operation can describe itself
// through a CFileException record that the caller supplies.
#pragma once

#include <windows.h>

#include <string>

class CFileException {
public:
    enum Cause {
        none = 0,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile,
    };

    CFileException() = default;
    CFileException(int cause, LONG osError, const std::wstring& fileName)
        : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {}

    // Fills the record from a Win32 error code.
    void Set(LONG osError, const std::wstring& fileName);
    void Clear();

    // The error-message text: the file's name and the system's reason. FALSE when
    // the record holds no error. At most maxChars - 1 characters plus the terminator.
    BOOL GetErrorMessage(LPWSTR buffer, UINT maxChars, PUINT helpContext = nullptr) const;

    static int OsErrorToCause(LONG osError);

    int m_cause = none;
    LONG m_lOsError = 0;
    std::wstring m_strFileName;
};

class CFile {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoTruncate = 0x0100,
        modeCreate = 0x1000,
        typeBinary = 0x8000,
    };
    enum SeekPosition : UINT { begin = FILE_BEGIN, current = FILE_CURRENT, end = FILE_END };

    CFile() = default;
    ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Paths of MAX_PATH characters or more are refused as a bad path before the
    // platform is asked, as the classic path limit demands.
    bool Open(const std::wstring& path, UINT flags, CFileException* error = nullptr);

    // Reads up to count bytes; got receives how many arrived (0 at the end of the file).
    bool Read(void* buffer, DWORD count, DWORD& got, CFileException* error = nullptr);
    // Writes all count bytes or fails.
    bool Write(const void* buffer, DWORD count, CFileException* error = nullptr);
    bool Seek(LONGLONG offset, UINT from, ULONGLONG* newPosition = nullptr, CFileException* error = nullptr);
    bool GetLength(ULONGLONG& length) const;
    bool GetPosition(ULONGLONG& position) const;
    // The full path of the open file.
    const std::wstring& GetFilePath() const { return path_; }
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Closes the file; false when the system reports that buffered data could not be written.
    bool Close(CFileException* error = nullptr);

private:
    void Fail(CFileException* error, LONG osError) const;

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::wstring path_;
};
