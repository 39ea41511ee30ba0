// Files on Windows. Paths are UTF-8 and go to the wide calls; every file is opened in binary
// mode through CreateFileW, never through the C runtime.
//
// Error codes: callers compare EFileError::Code and errno with errno constants (EWOULDBLOCK for
// a file held, ENOENT, EEXIST), so the Win32 error is translated to the errno value of the same
// meaning where there is one; an error without one is kept as its Win32 code negated, which no
// errno comparison can take for something else. what() and the ErrorText of RenameNoReplace are
// SystemErrorText of that code: the logs read as on Linux for the errors the service acts on,
// and give the system's own text for the rest. SystemErrorText and IsPassingFileError take both
// kinds of Code.
//
// Locks: the share mode of the open is the lock, as Windows programs know it, so that a file
// held here is refused to other programs too; every open also shares delete, because a holder
// renames and removes the files it holds (journals, lock files). The lock files and journals
// also take a byte-range lock (LockFileEx) on the whole file for the life of the handle.
//
// TLockedFile::Fd carries the HANDLE value itself: kernel handles are small multiples of 4, and
// INVALID_HANDLE_VALUE is -1, which is "not open".
#include <errno.h>
#include <string.h>
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cctype>
#include <utility>

#undef DeleteFile

#include "platform/Files.h"
#include "platform/WideText_win.h"

namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr DWORD kMaxIo = 1u << 30;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FILETIME counts 100 ns from 1601; the Unix epoch is this many of them later.
constexpr int64_t kUnixEpochTicks = 116444736000000000LL;
// Of Windows 10, which the headers give for newer targets only; older systems refuse them.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kErrorDiskQuotaExceeded = 1295;
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056L);

HANDLE HandleOf(int Fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(Fd)); }
int FdOf(HANDLE H) { return static_cast<int>(reinterpret_cast<intptr_t>(H)); }

// The errno value of the same meaning, or the Win32 code negated (see the top).
int CodeOf(DWORD Error) {
    switch (Error) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EWOULDBLOCK;
        case ERROR_ACCESS_DENIED:
        case ERROR_NETWORK_ACCESS_DENIED:
            return EACCES;
        case ERROR_PRIVILEGE_NOT_HELD:
            return EPERM;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case kErrorDiskQuotaExceeded:
            return ENOSPC;
        case ERROR_WRITE_PROTECT:
            return EROFS;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_SEM_TIMEOUT:
            return ETIMEDOUT;
        case ERROR_IO_DEVICE:
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT:
        case ERROR_GEN_FAILURE:
            return EIO;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_NAME:
        case ERROR_NEGATIVE_SEEK:
        case ERROR_NO_UNICODE_TRANSLATION:
            return EINVAL;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_CANT_RESOLVE_FILENAME:
            return ELOOP;
        default:
            return -static_cast<int>(Error);
    }
}

[[noreturn]] void ThrowWin32(DWORD Error) {
    throw EFileError(SystemErrorText(CodeOf(Error)), CodeOf(Error));
}

[[noreturn]] void ThrowLast() { ThrowWin32(::GetLastError()); }

[[noreturn]] void ThrowNotRegular() { throw EFileError("Not a regular file", EINVAL); }

[[noreturn]] void ThrowLink() { throw EFileError("Is a symbolic link", ELOOP); }

// Sets errno the way the Linux calls leave it, for the callers that read it after a false.
bool FailWith(DWORD Error) {
    errno = CodeOf(Error);
    return false;
}

// The NTSTATUS behind the last error: a name whose file is being removed (delete pending, until
// its last handle closes) is told apart from one this process may not open.
NTSTATUS LastNtStatus() {
    using TGetStatus = NTSTATUS(WINAPI*)();
    static const TGetStatus GetStatus = reinterpret_cast<TGetStatus>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetLastNtStatus")));
    return GetStatus ? GetStatus() : 0;
}

// "\\.\NAME" and the DOS device names (NUL, COM1, CON...) that GetFullPathNameW turns into it:
// a device, never opened by a name from a share.
bool IsDeviceName(const std::wstring& Path) {
    wchar_t Full[MAX_PATH + 8];
    const DWORD N = ::GetFullPathNameW(Path.c_str(), MAX_PATH + 8, Full, nullptr);
    const std::wstring_view F = N > 0 && N < MAX_PATH + 8 ? std::wstring_view(Full, N) : Path;
    return F.size() >= 4 && (F[0] == L'\\' || F[0] == L'/') && (F[1] == L'\\' || F[1] == L'/') &&
           F[2] == L'.' && (F[3] == L'\\' || F[3] == L'/');
}

int64_t NsOf(const LARGE_INTEGER& Time) { return (Time.QuadPart - kUnixEpochTicks) * 100; }

struct TEntryInfo {
    TEntryKind Kind = TEntryKind::Missing;
    DWORD Tag = 0;
    TFileIdentity Identity;
    int64_t Links = 0;
    int64_t ChangedNs = 0;
};

// What an open handle is. A reparse point that names another entry (a symbolic link, a
// junction) counts as a link; one that does not (a deduplicated or cloud file) is the file.
// The file id is FILE_ID_INFO's, which holds the 128-bit ids of ReFS too.
bool InfoOfHandle(HANDLE H, TEntryInfo& Info) {
    if (::GetFileType(H) != FILE_TYPE_DISK) {
        Info.Kind = TEntryKind::Other;
        return true;
    }
    FILE_BASIC_INFO Basic{};
    FILE_STANDARD_INFO Standard{};
    if (!::GetFileInformationByHandleEx(H, FileBasicInfo, &Basic, sizeof Basic) ||
        !::GetFileInformationByHandleEx(H, FileStandardInfo, &Standard, sizeof Standard))
        return false;
    FILE_ID_INFO Id{};
    if (::GetFileInformationByHandleEx(H, FileIdInfo, &Id, sizeof Id)) {
        uint64_t Halves[2];
        static_assert(sizeof Halves == sizeof Id.FileId);
        memcpy(Halves, &Id.FileId, sizeof Halves);
        Info.Identity.Device = Id.VolumeSerialNumber;
        // NTFS numbers its files in the low half; ReFS uses both.
        Info.Identity.Inode = Halves[0] ^ Halves[1];
    } else {
        // Before Windows 8.
        BY_HANDLE_FILE_INFORMATION I;
        if (!::GetFileInformationByHandle(H, &I)) return false;
        Info.Identity.Device = I.dwVolumeSerialNumber;
        Info.Identity.Inode = static_cast<uint64_t>(I.nFileIndexHigh) << 32 | I.nFileIndexLow;
    }
    const DWORD Attributes = Basic.FileAttributes;
    FILE_ATTRIBUTE_TAG_INFO Tag{};
    if (Attributes & FILE_ATTRIBUTE_REPARSE_POINT &&
        ::GetFileInformationByHandleEx(H, FileAttributeTagInfo, &Tag, sizeof Tag))
        Info.Tag = Tag.ReparseTag;
    const bool Link =
        Attributes & FILE_ATTRIBUTE_REPARSE_POINT && IsReparseTagNameSurrogate(Info.Tag);
    Info.Kind = Link ? TEntryKind::SymbolicLink
                : Attributes & FILE_ATTRIBUTE_DIRECTORY || Standard.Directory
                    ? TEntryKind::Directory
                    : TEntryKind::RegularFile;
    Info.Identity.Size = Standard.EndOfFile.QuadPart;
    Info.Identity.ModifiedNs = NsOf(Basic.LastWriteTime);
    Info.Links = Standard.NumberOfLinks;
    Info.ChangedNs = NsOf(Basic.ChangeTime);
    return true;
}

// Of the entry Path itself, or with Follow of what a link there leads to; nothing when missing.
// Attributes only: no share mode applies, so a file another holder has is seen as well.
std::optional<TEntryInfo> EntryInfo(const std::string& Path, bool Follow) {
    const std::wstring W = WideOf(Path);
    if (W.empty()) return std::nullopt;
    TEntryInfo Info;
    if (IsDeviceName(W)) {
        Info.Kind = TEntryKind::Other;
        return Info;
    }
    const HANDLE H = ::CreateFileW(
        W.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (Follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
    if (H == INVALID_HANDLE_VALUE) return std::nullopt;
    const bool Known = InfoOfHandle(H, Info);
    ::CloseHandle(H);
    if (!Known) return std::nullopt;
    return Info;
}

// Opens the regular file Path with the share mode Share, which refuses the open when another
// holder's access conflicts; with Lock it also takes the whole file's byte-range lock. As on
// Linux, only a regular file reached by its own name is opened: what is there is looked at first
// so that no device is opened at all, and what was opened is checked again in case the name was
// replaced meanwhile.
HANDLE OpenLocked(const std::string& Path, DWORD Access, DWORD Share, DWORD Disposition,
                  bool Lock) {
    const std::wstring W = WideOf(Path);
    if (W.empty()) ThrowWin32(Path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_NO_UNICODE_TRANSLATION);
    if (IsDeviceName(W)) ThrowNotRegular();
    // A name that must be new is refused by the open itself, as taken.
    if (Disposition != CREATE_NEW) {
        if (const auto Entry = EntryInfo(Path, false)) {
            if (Entry->Kind == TEntryKind::SymbolicLink) ThrowLink();
            if (Entry->Kind != TEntryKind::RegularFile) ThrowNotRegular();
        }
    }
    HANDLE H = ::CreateFileW(W.c_str(), Access, Share, nullptr, Disposition,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (H == INVALID_HANDLE_VALUE) {
        const DWORD Error = ::GetLastError();
        // Its holder removed it and has yet to close it: held, as far as a taker is concerned.
        if (Error == ERROR_ACCESS_DENIED && LastNtStatus() == kStatusDeletePending)
            throw EFileError("The file is being deleted", EWOULDBLOCK);
        ThrowWin32(Error);
    }
    TEntryInfo Info;
    if (!InfoOfHandle(H, Info)) {
        const DWORD Error = ::GetLastError();
        ::CloseHandle(H);
        ThrowWin32(Error);
    }
    if (Info.Kind == TEntryKind::RegularFile && Info.Tag != 0) {
        // A reparse point of a file system filter is read through the filter: opened again the
        // normal way, and kept only when that gives the same file.
        ::CloseHandle(H);
        H = ::CreateFileW(W.c_str(), Access, Share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr);
        if (H == INVALID_HANDLE_VALUE) ThrowLast();
        TEntryInfo Again;
        if (!InfoOfHandle(H, Again) || Again.Kind != TEntryKind::RegularFile ||
            Again.Identity.Device != Info.Identity.Device ||
            Again.Identity.Inode != Info.Identity.Inode) {
            ::CloseHandle(H);
            ThrowNotRegular();
        }
    }
    if (Info.Kind != TEntryKind::RegularFile) {
        ::CloseHandle(H);
        if (Info.Kind == TEntryKind::SymbolicLink) ThrowLink();
        ThrowNotRegular();
    }
    OVERLAPPED Whole{};
    if (Lock && !::LockFileEx(H, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                              MAXDWORD, &Whole)) {
        const DWORD Error = ::GetLastError();
        ::CloseHandle(H);
        ThrowWin32(Error);
    }
    return H;
}

bool IsSeparator(char C) { return C == '/' || C == '\\'; }

int64_t Position(HANDLE H) {
    LARGE_INTEGER Now{};
    if (!::SetFilePointerEx(H, LARGE_INTEGER{}, &Now, FILE_CURRENT)) ThrowLast();
    return Now.QuadPart;
}

void MoveTo(HANDLE H, int64_t Offset, DWORD From) {
    LARGE_INTEGER To;
    To.QuadPart = Offset;
    if (!::SetFilePointerEx(H, To, nullptr, From)) ThrowLast();
}

OVERLAPPED At(int64_t Offset) {
    OVERLAPPED O{};
    O.Offset = static_cast<DWORD>(static_cast<uint64_t>(Offset));
    O.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(Offset) >> 32);
    return O;
}

}  // namespace

std::string SystemErrorText(int ErrorCode) {
    if (ErrorCode < 0) return WindowsErrorText(static_cast<DWORD>(-ErrorCode));
    // The C runtime knows the old codes only.
    switch (ErrorCode) {
        case EWOULDBLOCK:
            return "Resource temporarily unavailable";
        case ELOOP:
            return "Too many levels of symbolic links";
        case ETIMEDOUT:
            return "Connection timed out";
        case ENOTSUP:
            return "Operation not supported";
        default:
            return ::strerror(ErrorCode);
    }
}

bool IsPassingFileError(int ErrorCode) {
    switch (ErrorCode) {
        case EIO:
        case ENOSPC:
        case EROFS:
        case EAGAIN:
        case EWOULDBLOCK:
        case EINTR:
        case ENOMEM:
        case ETIMEDOUT:
        case EBUSY:
        case ENFILE:
        case EMFILE:
        // Those without an errno of their own: a drive or share that went away for a while.
        case -ERROR_NOT_READY:
        case -ERROR_NETNAME_DELETED:
        case -ERROR_UNEXP_NET_ERR:
        case -ERROR_NETWORK_BUSY:
        case -ERROR_BAD_NET_RESP:
        case -ERROR_DEV_NOT_EXIST:
        case -ERROR_VC_DISCONNECTED:
        case -ERROR_NETWORK_UNREACHABLE:
        case -ERROR_NO_SYSTEM_RESOURCES:
        case -ERROR_WORKING_SET_QUOTA:
        case -ERROR_DEVICE_NOT_CONNECTED:
            return true;
        default:
            return false;
    }
}

bool FileExists(const std::string& Path) {
    const auto Entry = EntryInfo(Path, false);
    return Entry && Entry->Kind != TEntryKind::Directory;
}

TEntryKind EntryKindOf(const std::string& Path) {
    const auto Entry = EntryInfo(Path, false);
    return Entry ? Entry->Kind : TEntryKind::Missing;
}

bool DirectoryExists(const std::string& Path) {
    const auto Entry = EntryInfo(Path, true);
    return Entry && Entry->Kind == TEntryKind::Directory;
}

bool CanUseDirectory(const std::string& Dir, bool Write) {
    const std::wstring W = WideOf(Dir);
    if (W.empty()) return false;
    const HANDLE H =
        ::CreateFileW(W.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | (Write ? FILE_ADD_FILE : 0),
                      kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (H == INVALID_HANDLE_VALUE) return false;
    TEntryInfo Info;
    const bool Is = InfoOfHandle(H, Info) && Info.Kind == TEntryKind::Directory;
    ::CloseHandle(H);
    return Is;
}

bool CanAccessFile(const std::string& Path, bool Write) {
    const std::wstring W = WideOf(Path);
    if (W.empty()) return false;
    const HANDLE H = ::CreateFileW(W.c_str(), GENERIC_READ | (Write ? GENERIC_WRITE : 0), kShareAll,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    // A holder's share mode comes after the access check: the file may be used, just not now.
    if (H == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;
    ::CloseHandle(H);
    return true;
}

int64_t FileSizeOf(const std::string& Path) {
    const auto Entry = EntryInfo(Path, false);
    return Entry && Entry->Kind == TEntryKind::RegularFile ? Entry->Identity.Size : 0;
}

bool ForceDirectories(const std::string& Dir) {
    if (Dir.empty()) return false;
    if (DirectoryExists(Dir)) return true;
    // Each level from the top down. The first levels of "C:\" or "\\server\share\" cannot be
    // made and need not be: only whether Dir exists at the end counts.
    DWORD Error = ERROR_SUCCESS;
    for (size_t Pos = 0; Pos <= Dir.size(); ++Pos) {
        if (Pos < Dir.size() && !IsSeparator(Dir[Pos])) continue;
        if (Pos == 0 || IsSeparator(Dir[Pos - 1]) || Dir[Pos - 1] == ':') continue;
        const std::wstring Level = WideOf(Dir.substr(0, Pos));
        if (Level.empty()) return FailWith(ERROR_NO_UNICODE_TRANSLATION);
        if (!::CreateDirectoryW(Level.c_str(), nullptr)) {
            if (::GetLastError() != ERROR_ALREADY_EXISTS) Error = ::GetLastError();
        } else {
            Error = ERROR_SUCCESS;
        }
    }
    if (DirectoryExists(Dir)) return true;
    return FailWith(Error == ERROR_SUCCESS ? ERROR_PATH_NOT_FOUND : Error);
}

bool RenameNoReplace(const std::string& From, const std::string& To, std::string* ErrorText) {
    const std::wstring F = WideOf(From), T = WideOf(To);
    DWORD Error = ERROR_NO_UNICODE_TRANSLATION;
    // Without MOVEFILE_REPLACE_EXISTING the rename never replaces, on NTFS and on shares alike.
    if (!F.empty() && !T.empty()) {
        if (::MoveFileExW(F.c_str(), T.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
        Error = ::GetLastError();
    }
    if (ErrorText) *ErrorText = SystemErrorText(CodeOf(Error));
    return FailWith(Error);
}

bool CanRenameNoReplaceIn(const std::string&) {
    // Every Windows file system and share renames without replacing unless asked to replace.
    return true;
}

bool DeleteFile(const std::string& Path) {
    const std::wstring W = WideOf(Path);
    if (W.empty()) return FailWith(::GetLastError());
    // The name goes at once where the system can (POSIX semantics), even while a holder still
    // has the file open; otherwise it goes with the last handle.
    const HANDLE H = ::CreateFileW(W.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (H != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO_EX Posix{};
        Posix.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS;
        const bool Gone =
            ::SetFileInformationByHandle(H, kFileDispositionInfoEx, &Posix, sizeof Posix);
        ::CloseHandle(H);
        if (Gone) return true;
    }
    if (::DeleteFileW(W.c_str())) return true;
    return FailWith(::GetLastError());
}

std::string ExecutablePath() {
    std::wstring Buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD N =
            ::GetModuleFileNameW(nullptr, Buffer.data(), static_cast<DWORD>(Buffer.size()));
        if (N == 0) return "";
        if (N < Buffer.size()) return Utf8Of(Buffer.data(), N);
        Buffer.resize(Buffer.size() * 2);
    }
}

std::vector<std::string> FindFiles(const std::string& Dir, const std::string& Mask) {
    std::vector<std::string> Names;
    // An empty directory name is a missing setting, not the working directory.
    if (Dir.empty()) return Names;
    const std::wstring Pattern = WideOf(IsSeparator(Dir.back()) ? Dir + "*" : Dir + "\\*");
    if (Pattern.empty()) return Names;
    WIN32_FIND_DATAW Found;
    const HANDLE Search = ::FindFirstFileExW(Pattern.c_str(), FindExInfoBasic, &Found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (Search == INVALID_HANDLE_VALUE) return Names;
    do {
        std::string Name = Utf8Of(Found.cFileName, ::wcslen(Found.cFileName));
        if (Name == "." || Name == "..") continue;
        // The system's own matching would also take the short 8.3 names.
        if (MatchesMask(Name, Mask)) Names.push_back(std::move(Name));
    } while (::FindNextFileW(Search, &Found));
    ::FindClose(Search);
    return Names;
}

std::optional<std::chrono::system_clock::time_point> FileModificationTime(const std::string& Path) {
    const auto Entry = EntryInfo(Path, false);
    if (!Entry) return std::nullopt;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(Entry->Identity.ModifiedNs)));
}

int64_t FileModifiedNs(const std::string& Path) {
    const auto Entry = EntryInfo(Path, false);
    return Entry ? Entry->Identity.ModifiedNs : 0;
}

int64_t FileStatusChangeNs(const std::string& Path) {
    const auto Entry = EntryInfo(Path, false);
    return Entry ? Entry->ChangedNs : 0;
}

int64_t LinkCountOf(const std::string& Path) {
    const auto Entry = EntryInfo(Path, false);
    return Entry ? Entry->Links : 0;
}

bool SameFile(const std::string& A, const std::string& B) {
    const auto a = EntryInfo(A, true), b = EntryInfo(B, true);
    return a && b && a->Kind != TEntryKind::Other && a->Identity.Device == b->Identity.Device &&
           a->Identity.Inode == b->Identity.Inode;
}

std::optional<TFileIdentity> FileIdentityOf(const std::string& Path) {
    const auto Entry = EntryInfo(Path, false);
    if (!Entry) return std::nullopt;
    return Entry->Identity;
}

void SyncDirectory(const std::string&) {
    // NTFS journals its directory entries and a share's server commits them itself: a
    // FlushFileBuffers of the file before its rename is all the system offers.
}

bool IsPathSeparator(char C) { return C == '\\' || C == '/'; }

bool IsAbsolutePath(const std::string& Path) {
    const auto Slash = IsPathSeparator;
    if (Path.size() >= 3 && std::isalpha(static_cast<unsigned char>(Path[0])) && Path[1] == ':' &&
        Slash(Path[2]))
        return true;
    return Path.size() >= 3 && Slash(Path[0]) && Slash(Path[1]) && !Slash(Path[2]);
}

std::string DirectoryOf(const std::string& Path) {
    const size_t Slash = Path.find_last_of("/\\");
    return Slash == std::string::npos ? std::string() : Path.substr(0, Slash + 1);
}

std::string ReadOwnFileText(const std::string& Path) {
    const auto Failed = [&](const char* What, DWORD Error) {
        return EFileError(
            std::string(What) + " \"" + Path + "\": " + SystemErrorText(CodeOf(Error)),
            CodeOf(Error));
    };
    const std::wstring W = WideOf(Path);
    if (W.empty())
        throw Failed("Cannot open file",
                     Path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_NO_UNICODE_TRANSLATION);
    // Links are followed; a directory opens (backup semantics) to be refused as such.
    const HANDLE H = ::CreateFileW(W.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (H == INVALID_HANDLE_VALUE) throw Failed("Cannot open file", ::GetLastError());
    TEntryInfo Info;
    DWORD Error = !InfoOfHandle(H, Info)                 ? ::GetLastError()
                  : Info.Kind == TEntryKind::Directory   ? ERROR_DIRECTORY
                  : Info.Kind != TEntryKind::RegularFile ? ERROR_INVALID_PARAMETER
                                                         : ERROR_SUCCESS;
    std::string Text;
    std::string Buffer(kReadChunk, '\0');
    while (Error == ERROR_SUCCESS) {
        DWORD N = 0;
        if (!::ReadFile(H, Buffer.data(), static_cast<DWORD>(Buffer.size()), &N, nullptr))
            Error = ::GetLastError();
        if (N == 0) break;
        Text.append(Buffer.data(), N);
    }
    ::CloseHandle(H);
    if (Error == ERROR_DIRECTORY)
        throw EFileError("Cannot read file \"" + Path + "\": Is a directory", EISDIR);
    if (Error != ERROR_SUCCESS) throw Failed("Cannot read file", Error);
    return Text;
}

std::string TemporaryNameBeside(const std::string& Path) {
    static std::atomic<unsigned> Counter{0};
    wchar_t Host[256] = L"";
    DWORD HostSize = 255;
    if (!::GetComputerNameExW(ComputerNameDnsHostname, Host, &HostSize)) HostSize = 0;
    // Hidden by its dot on Linux shares, and unique to this host, process and call: instances
    // on a share never collide.
    return DirectoryOf(Path) + "." + FileNameOf(Path) + "." + Utf8Of(Host, HostSize) + "-" +
           std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(Counter.fetch_add(1)) +
           ".tmp";
}

TLockedFile TLockedFile::CreateExclusive(const std::string& Path) {
    // Not CREATE_ALWAYS: the file is emptied only once the open shows nobody else holds it.
    TLockedFile File(FdOf(
        OpenLocked(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, OPEN_ALWAYS, false)));
    File.Truncate(0);
    return File;
}

TLockedFile TLockedFile::OpenWriteShareRead(const std::string& Path) {
    return TLockedFile(FdOf(OpenLocked(Path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                       OPEN_EXISTING, false)));
}

TLockedFile TLockedFile::OpenReadShareRead(const std::string& Path) {
    return TLockedFile(FdOf(
        OpenLocked(Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING, false)));
}

TLockedFile TLockedFile::CreateNew(const std::string& Path) {
    return TLockedFile(
        FdOf(OpenLocked(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_NEW, false)));
}

TLockedFile TLockedFile::OpenExclusive(const std::string& Path) {
    TLockedFile File(FdOf(
        OpenLocked(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, OPEN_EXISTING, true)));
    // Whoever held it before may have removed the name: that file is nobody's now.
    if (!File.IsAt(Path)) ThrowWin32(ERROR_FILE_NOT_FOUND);
    return File;
}

TLockedFile TLockedFile::OpenAppend(const std::string& Path) {
    // Held exclusively, so nobody else moves the end meanwhile: writing from the end it had at
    // the open is appending.
    TLockedFile File(FdOf(
        OpenLocked(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, OPEN_ALWAYS, false)));
    File.SeekEnd();
    return File;
}

TLockedFile TLockedFile::OpenLockFile(const std::string& Path) {
    // A holder removes the lock file while it still holds it; whoever opened the removed file
    // meanwhile tries again with the one the name now gives.
    for (;;) {
        TLockedFile File(FdOf(
            OpenLocked(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, OPEN_ALWAYS, true)));
        if (File.IsAt(Path)) return File;
    }
}

TLockedFile::TLockedFile(TLockedFile&& Other) noexcept : Fd(std::exchange(Other.Fd, -1)) {}

TLockedFile& TLockedFile::operator=(TLockedFile&& Other) noexcept {
    if (this != &Other) {
        if (Fd >= 0) ::CloseHandle(HandleOf(Fd));
        Fd = std::exchange(Other.Fd, -1);
    }
    return *this;
}

TLockedFile::~TLockedFile() {
    if (Fd >= 0) ::CloseHandle(HandleOf(Fd));
}

void TLockedFile::SeekEnd() { MoveTo(HandleOf(Fd), 0, FILE_END); }

void TLockedFile::SeekStart() { MoveTo(HandleOf(Fd), 0, FILE_BEGIN); }

void TLockedFile::Truncate(int64_t Size) {
    // As ftruncate: the position stays where it was.
    const HANDLE H = HandleOf(Fd);
    const int64_t Was = Position(H);
    MoveTo(H, Size, FILE_BEGIN);
    const bool Cut = ::SetEndOfFile(H);
    const DWORD Error = ::GetLastError();
    MoveTo(H, Was, FILE_BEGIN);
    if (!Cut) ThrowWin32(Error);
}

void TLockedFile::Sync() {
    if (!::FlushFileBuffers(HandleOf(Fd))) ThrowLast();
}

void TLockedFile::StartWriteBack() {
    // Windows has no write-back to begin without waiting; Sync does all of it.
}

void TLockedFile::SetPermissions(unsigned) {
    // Access on Windows is the ACL the operator gives the directory, which new files inherit.
}

bool TLockedFile::IsAt(const std::string& Path) const {
    if (Fd < 0) return false;
    TEntryInfo Mine;
    const auto Named = EntryInfo(Path, false);
    // Wine gives the volume of a handle whose file was renamed as 0 (journals are held across
    // their rename): the file index alone decides then, among the files of Path's volume.
    return Named && InfoOfHandle(HandleOf(Fd), Mine) &&
           (Named->Identity.Device == Mine.Identity.Device || Mine.Identity.Device == 0) &&
           Named->Identity.Inode == Mine.Identity.Inode;
}

void TLockedFile::WriteAt(int64_t Offset, std::string_view Data) {
    // An offset write moves the position of a synchronous handle: it is put back.
    const HANDLE H = HandleOf(Fd);
    const int64_t Was = Position(H);
    size_t Done = 0;
    while (Done < Data.size()) {
        OVERLAPPED O = At(Offset + static_cast<int64_t>(Done));
        DWORD N = 0;
        const DWORD Want = static_cast<DWORD>(std::min<size_t>(Data.size() - Done, kMaxIo));
        if (!::WriteFile(H, Data.data() + Done, Want, &N, &O)) {
            const DWORD Error = ::GetLastError();
            MoveTo(H, Was, FILE_BEGIN);
            ThrowWin32(Error);
        }
        Done += N;
    }
    MoveTo(H, Was, FILE_BEGIN);
}

void TLockedFile::Write(std::string_view Data) {
    size_t Done = 0;
    while (Done < Data.size()) {
        DWORD N = 0;
        const DWORD Want = static_cast<DWORD>(std::min<size_t>(Data.size() - Done, kMaxIo));
        if (!::WriteFile(HandleOf(Fd), Data.data() + Done, Want, &N, nullptr)) ThrowLast();
        Done += N;
    }
}

size_t TLockedFile::ReadSome(char* Buffer, size_t Size) {
    DWORD N = 0;
    if (!::ReadFile(HandleOf(Fd), Buffer, static_cast<DWORD>(std::min<size_t>(Size, kMaxIo)), &N,
                    nullptr))
        ThrowLast();
    return N;
}

std::string TLockedFile::ReadAll() {
    std::string Text;
    LARGE_INTEGER Size{};
    if (::GetFileSizeEx(HandleOf(Fd), &Size) && Size.QuadPart > 0)
        Text.reserve(static_cast<size_t>(Size.QuadPart));
    std::string Buffer(kReadChunk, '\0');
    while (const size_t N = ReadSome(Buffer.data(), Buffer.size())) Text.append(Buffer.data(), N);
    return Text;
}

std::string TLockedFile::ReadAt(int64_t Offset, size_t Count) {
    const HANDLE H = HandleOf(Fd);
    const int64_t Was = Position(H);
    std::string Text(Count, '\0');
    size_t Done = 0;
    while (Done < Count) {
        OVERLAPPED O = At(Offset + static_cast<int64_t>(Done));
        DWORD N = 0;
        const DWORD Want = static_cast<DWORD>(std::min<size_t>(Count - Done, kMaxIo));
        if (!::ReadFile(H, Text.data() + Done, Want, &N, &O)) {
            const DWORD Error = ::GetLastError();
            if (Error == ERROR_HANDLE_EOF) break;
            MoveTo(H, Was, FILE_BEGIN);
            ThrowWin32(Error);
        }
        if (N == 0) break;
        Done += N;
    }
    MoveTo(H, Was, FILE_BEGIN);
    Text.resize(Done);
    return Text;
}

int64_t TLockedFile::Size() const {
    LARGE_INTEGER Size{};
    if (!::GetFileSizeEx(HandleOf(Fd), &Size)) ThrowLast();
    return Size.QuadPart;
}

TFileIdentity TLockedFile::Identity() const {
    TEntryInfo Info;
    if (!InfoOfHandle(HandleOf(Fd), Info)) ThrowLast();
    return Info.Identity;
}

void TLockedFile::Close() {
    if (Fd < 0) return;
    // The share mode and any byte-range lock go with the handle, which is gone either way.
    if (!::CloseHandle(HandleOf(std::exchange(Fd, -1)))) ThrowLast();
}

void TAtomicFile::Commit() {
    File.Sync();
    File.Close();
    const std::wstring From = WideOf(Temporary), To = WideOf(Path);
    if (From.empty() || To.empty()) ThrowWin32(ERROR_NO_UNICODE_TRANSLATION);
    if (!::MoveFileExW(From.c_str(), To.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        ThrowLast();
    Committed = true;
    SyncDirectory(DirectoryOf(Path));
}
