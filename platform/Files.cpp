#include "platform/Files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <utility>

namespace {

constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask
constexpr mode_t kNewDirMode = 0777;
constexpr size_t kReadChunk = 64 * 1024;

[[noreturn]] void ThrowErrno(int Err) { throw EFileError(SystemErrorText(Err), Err); }

[[noreturn]] void ThrowNotRegular() { throw EFileError("Not a regular file", EINVAL); }

[[noreturn]] void ThrowLink() { throw EFileError("Is a symbolic link", ELOOP); }

// Opens Path with Flags and takes the flock Lock without waiting; the open fails, and nothing
// else happens to the file, when another holder has a conflicting lock. Whoever may write into
// a share could plant a link there to any file of the machine, or a FIFO or a device: only a
// regular file is opened, reached as the entry the name gives, never through a link in the last
// component. What is already there is looked at before the open, so that no device is opened
// at all, and what was opened is checked again in case the name was replaced meanwhile.
int OpenLocked(const std::string& Path, int Flags, int Lock) {
    struct stat st {};
    // A name that must be new is refused by the open itself, as taken.
    if (!(Flags & O_EXCL) && ::lstat(Path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) ThrowLink();
        if (!S_ISREG(st.st_mode)) ThrowNotRegular();
    }
    int fd;
    // Non-blocking only for the open itself, so that a FIFO under the name cannot stall us.
    do {
        fd = ::open(Path.c_str(), Flags | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY,
                    kNewFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ELOOP) ThrowLink();
        ThrowErrno(errno);
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        ThrowNotRegular();
    }
    int fileFlags = ::fcntl(fd, F_GETFL);
    if (fileFlags < 0 || ::fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
        int err = errno;
        ::close(fd);
        ThrowErrno(err);
    }
    int rc;
    do {
        rc = ::flock(fd, Lock | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        ::close(fd);
        ThrowErrno(err);
    }
    return fd;
}

bool IsDirectoryPath(const std::string& Path) {
    struct stat st {};
    return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string SystemErrorText(int ErrorCode) {
    char buf[256];
    // The GNU strerror_r returns the text, which need not be in buf.
    return ::strerror_r(ErrorCode, buf, sizeof buf);
}

bool IsPassingFileError(int ErrorCode) {
    switch (ErrorCode) {
        case EIO:
        case ENOSPC:
        case EDQUOT:
        case EROFS:
        case EAGAIN:
        case EINTR:
        case ENOMEM:
        case ESTALE:
        case ETIMEDOUT:
        case EBUSY:
        case ENFILE:
        case EMFILE:
            return true;
        default:
            return false;
    }
}

bool FileExists(const std::string& Path) {
    struct stat st {};
    return !Path.empty() && ::lstat(Path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

TEntryKind EntryKindOf(const std::string& Path) {
    struct stat st {};
    if (Path.empty() || ::lstat(Path.c_str(), &st) != 0) return TEntryKind::Missing;
    if (S_ISREG(st.st_mode)) return TEntryKind::RegularFile;
    if (S_ISLNK(st.st_mode)) return TEntryKind::SymbolicLink;
    if (S_ISDIR(st.st_mode)) return TEntryKind::Directory;
    return TEntryKind::Other;
}

bool DirectoryExists(const std::string& Path) { return !Path.empty() && IsDirectoryPath(Path); }

bool CanUseDirectory(const std::string& Dir, bool Write) {
    return !Dir.empty() && ::access(Dir.c_str(), R_OK | X_OK | (Write ? W_OK : 0)) == 0;
}

bool CanAccessFile(const std::string& Path, bool Write) {
    return !Path.empty() && ::access(Path.c_str(), R_OK | (Write ? W_OK : 0)) == 0;
}

int64_t FileSizeOf(const std::string& Path) {
    struct stat st {};
    if (Path.empty() || ::lstat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<int64_t>(st.st_size);
}

bool ForceDirectories(const std::string& Dir) {
    if (Dir.empty()) return false;
    if (DirectoryExists(Dir)) return true;
    // Create each missing level from the top down; a level made meanwhile by someone else is fine.
    for (size_t pos = Dir.find('/', 1);; pos = Dir.find('/', pos + 1)) {
        std::string level = Dir.substr(0, pos);
        if (!level.empty() && level.back() != '/' && ::mkdir(level.c_str(), kNewDirMode) != 0 &&
            errno != EEXIST)
            return false;
        if (pos == std::string::npos) break;
    }
    return DirectoryExists(Dir);
}

bool RenameNoReplace(const std::string& From, const std::string& To, std::string* ErrorText) {
    int err = 0;
    bool NoSafeWay = false;
    if (::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    err = errno;
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        // The file system cannot rename without replacing: a hard link fails on an existing
        // target just the same.
        if (::link(From.c_str(), To.c_str()) == 0) {
            // Gone already: whoever finished a claim cut between these two left it to To.
            if (::unlink(From.c_str()) == 0 || errno == ENOENT) return true;
            err = errno;
            ::unlink(To.c_str());
        } else {
            err = errno;
            NoSafeWay = err == EPERM && !IsDirectoryPath(From);
            if (err == EPERM && IsDirectoryPath(From)) {
                // Directories cannot be linked; check and rename, the best this file system allows.
                struct stat st {};
                if (::lstat(To.c_str(), &st) == 0) {
                    err = EEXIST;
                } else if (::rename(From.c_str(), To.c_str()) == 0) {
                    return true;
                } else {
                    err = errno;
                }
            }
        }
    }
    if (ErrorText) *ErrorText = SystemErrorText(err);
    // Neither way gives a file to exactly one taker here: say so rather than "not permitted".
    if (ErrorText && NoSafeWay)
        *ErrorText =
            "This file system can neither rename without replacing nor link, so no "
            "file can be claimed here safely";
    errno = err;
    return false;
}

bool DeleteFile(const std::string& Path) { return ::unlink(Path.c_str()) == 0; }

bool CanRenameNoReplaceIn(const std::string& Dir) {
    const std::string Base = (Dir.empty() || Dir.back() == '/' ? Dir : Dir + "/") + "claim-probe";
    const std::string From = TemporaryNameBeside(Base), To = TemporaryNameBeside(Base);
    bool Can = true;
    try {
        TLockedFile::CreateNew(From).Close();
        // EPERM is what neither way leaves: a hidden file of our own is ours to rename.
        Can = RenameNoReplace(From, To, nullptr) || errno != EPERM;
    } catch (const EFileError&) {
        // Made but not closed cleanly (a full disk), it goes all the same.
    }
    ::unlink(From.c_str());
    ::unlink(To.c_str());
    return Can;
}

int64_t LinkCountOf(const std::string& Path) {
    struct stat st {};
    if (Path.empty() || ::lstat(Path.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_nlink);
}

std::string ExecutablePath() {
    char buf[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

std::vector<std::string> FindFiles(const std::string& Dir, const std::string& Mask) {
    std::vector<std::string> names;
    // An empty directory name is a missing setting, not the working directory.
    if (Dir.empty()) return names;
    DIR* dir = ::opendir(Dir.c_str());
    if (!dir) return names;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (MatchesMask(name, Mask)) names.push_back(std::move(name));
    }
    ::closedir(dir);
    return names;
}

std::optional<std::chrono::system_clock::time_point> FileModificationTime(const std::string& Path) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) != 0) return std::nullopt;
    auto since =
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

int64_t FileModifiedNs(const std::string& Path) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

int64_t FileStatusChangeNs(const std::string& Path) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

bool SameFile(const std::string& A, const std::string& B) {
    struct stat a {
    }, b{};
    return ::stat(A.c_str(), &a) == 0 && ::stat(B.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

namespace {
TFileIdentity IdentityOf(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<int64_t>(st.st_size),
            static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}
}  // namespace

std::optional<TFileIdentity> FileIdentityOf(const std::string& Path) {
    struct stat st {};
    if (::lstat(Path.c_str(), &st) != 0) return std::nullopt;
    return IdentityOf(st);
}

void SyncDirectory(const std::string& Dir) {
    int fd;
    do {
        fd = ::open(Dir.empty() ? "." : Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) ThrowErrno(errno);
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    // Some file systems (and shares) cannot sync a directory; their renames are as durable as
    // they get.
    if (rc != 0 && err != EINVAL && err != ENOTSUP && err != EROFS) ThrowErrno(err);
}

bool IsPathSeparator(char C) { return C == '/'; }

bool IsAbsolutePath(const std::string& Path) { return !Path.empty() && Path[0] == '/'; }

std::string DirectoryOf(const std::string& Path) {
    const size_t slash = Path.rfind('/');
    return slash == std::string::npos ? std::string() : Path.substr(0, slash + 1);
}

std::string ReadOwnFileText(const std::string& Path) {
    const auto Failed = [&](const char* What, int Error) {
        return EFileError(std::string(What) + " \"" + Path + "\": " + SystemErrorText(Error), Error);
    };
    const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) throw Failed("Cannot open file", errno);
    struct stat st {};
    int Error = ::fstat(Fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR
                                              : !S_ISREG(st.st_mode) ? EINVAL
                                                                     : 0;
    std::string Text;
    char Buffer[65536];
    while (Error == 0) {
        const ssize_t N = ::read(Fd, Buffer, sizeof Buffer);
        if (N < 0 && errno == EINTR) continue;
        if (N < 0) Error = errno;
        if (N <= 0) break;
        Text.append(Buffer, static_cast<size_t>(N));
    }
    ::close(Fd);
    if (Error != 0) throw Failed("Cannot read file", Error);
    return Text;
}

std::string TemporaryNameBeside(const std::string& Path) {
    static std::atomic<unsigned> counter{0};
    char host[64] = "";
    ::gethostname(host, sizeof host - 1);
    const size_t slash = Path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : Path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? Path : Path.substr(slash + 1);
    // Hidden, and unique to this host, process and call: instances on a share never collide.
    return dir + "." + name + "." + host + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1)) + ".tmp";
}

TLockedFile TLockedFile::CreateExclusive(const std::string& Path) {
    // No O_TRUNC: the file is emptied only once the lock shows nobody else holds it.
    int fd = OpenLocked(Path, O_WRONLY | O_CREAT, LOCK_EX);
    TLockedFile file(fd);
    if (::ftruncate(fd, 0) != 0) ThrowErrno(errno);
    return file;
}

TLockedFile TLockedFile::OpenWriteShareRead(const std::string& Path) {
    return TLockedFile(OpenLocked(Path, O_WRONLY, LOCK_EX));
}

TLockedFile TLockedFile::OpenReadShareRead(const std::string& Path) {
    return TLockedFile(OpenLocked(Path, O_RDONLY, LOCK_SH));
}

TLockedFile TLockedFile::CreateNew(const std::string& Path) {
    return TLockedFile(OpenLocked(Path, O_RDWR | O_CREAT | O_EXCL, LOCK_EX));
}

TLockedFile TLockedFile::OpenExclusive(const std::string& Path) {
    TLockedFile file(OpenLocked(Path, O_RDWR, LOCK_EX));
    // Whoever held the lock before may have removed the name: that file is nobody's now.
    if (!file.IsAt(Path)) ThrowErrno(ENOENT);
    return file;
}

TLockedFile TLockedFile::OpenAppend(const std::string& Path) {
    return TLockedFile(OpenLocked(Path, O_WRONLY | O_CREAT | O_APPEND, LOCK_EX));
}

TLockedFile TLockedFile::OpenLockFile(const std::string& Path) {
    // A holder removes the lock file while it still holds it; whoever locked the removed file
    // meanwhile tries again with the one the name now gives.
    for (;;) {
        TLockedFile file(OpenLocked(Path, O_RDWR | O_CREAT, LOCK_EX));
        if (file.IsAt(Path)) return file;
    }
}

TLockedFile::TLockedFile(TLockedFile&& Other) noexcept : Fd(std::exchange(Other.Fd, -1)) {}

TLockedFile& TLockedFile::operator=(TLockedFile&& Other) noexcept {
    if (this != &Other) {
        if (Fd >= 0) ::close(Fd);
        Fd = std::exchange(Other.Fd, -1);
    }
    return *this;
}

TLockedFile::~TLockedFile() {
    if (Fd >= 0) ::close(Fd);
}

void TLockedFile::SeekEnd() {
    if (::lseek(Fd, 0, SEEK_END) < 0) ThrowErrno(errno);
}

void TLockedFile::SeekStart() {
    if (::lseek(Fd, 0, SEEK_SET) < 0) ThrowErrno(errno);
}

void TLockedFile::Truncate(int64_t Size) {
    if (::ftruncate(Fd, static_cast<off_t>(Size)) != 0) ThrowErrno(errno);
}

void TLockedFile::Sync() {
    int rc;
    do {
        rc = ::fdatasync(Fd);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) ThrowErrno(errno);
}

void TLockedFile::StartWriteBack() { ::sync_file_range(Fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

void TLockedFile::SetPermissions(unsigned Mode) {
    if (::fchmod(Fd, static_cast<mode_t>(Mode)) != 0) ThrowErrno(errno);
}

bool TLockedFile::IsAt(const std::string& Path) const {
    struct stat mine {
    }, named{};
    return Fd >= 0 && ::fstat(Fd, &mine) == 0 && ::lstat(Path.c_str(), &named) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

void TLockedFile::WriteAt(int64_t Offset, std::string_view Data) {
    size_t done = 0;
    while (done < Data.size()) {
        ssize_t n = ::pwrite(Fd, Data.data() + done, Data.size() - done,
                             static_cast<off_t>(Offset + static_cast<int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(errno);
        }
        done += static_cast<size_t>(n);
    }
}

void TLockedFile::Write(std::string_view Data) {
    size_t done = 0;
    while (done < Data.size()) {
        ssize_t n = ::write(Fd, Data.data() + done, Data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(errno);
        }
        done += static_cast<size_t>(n);
    }
}

size_t TLockedFile::ReadSome(char* Buffer, size_t Size) {
    for (;;) {
        const ssize_t n = ::read(Fd, Buffer, Size);
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) ThrowErrno(errno);
    }
}

std::string TLockedFile::ReadAll() {
    std::string text;
    struct stat st {};
    if (::fstat(Fd, &st) == 0 && S_ISREG(st.st_mode)) text.reserve(static_cast<size_t>(st.st_size));
    std::string buf(kReadChunk, '\0');
    for (;;) {
        ssize_t n = ::read(Fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(errno);
        }
        if (n == 0) break;
        text.append(buf.data(), static_cast<size_t>(n));
    }
    return text;
}

std::string TLockedFile::ReadAt(int64_t Offset, size_t Count) {
    std::string text(Count, '\0');
    size_t done = 0;
    while (done < Count) {
        ssize_t n =
            ::pread(Fd, text.data() + done, Count - done, static_cast<off_t>(Offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno(errno);
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    return text;
}

int64_t TLockedFile::Size() const {
    struct stat st {};
    if (::fstat(Fd, &st) != 0) ThrowErrno(errno);
    return static_cast<int64_t>(st.st_size);
}

TFileIdentity TLockedFile::Identity() const {
    struct stat st {};
    if (::fstat(Fd, &st) != 0) ThrowErrno(errno);
    return IdentityOf(st);
}

void TLockedFile::Close() {
    if (Fd < 0) return;
    // Closing the descriptor releases the flock with it. A failed close can mean written data
    // never reached the file (a share over quota), so it is reported; the descriptor is gone
    // either way and must not be closed again.
    const int rc = ::close(std::exchange(Fd, -1));
    if (rc != 0 && errno != EINTR) ThrowErrno(errno);
}

void TAtomicFile::Commit() {
    File.Sync();
    File.Close();
    if (::rename(Temporary.c_str(), Path.c_str()) != 0) ThrowErrno(errno);
    Committed = true;
    SyncDirectory(DirectoryOf(Path));
}
