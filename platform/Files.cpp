#include "platform/Files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <utility>

namespace {

constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask
constexpr mode_t kNewDirMode = 0777;
constexpr size_t kReadChunk = 64 * 1024;

[[noreturn]] void ThrowErrno(int Err) { throw EFileError(SystemErrorText(Err), Err); }

char FoldCase(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

// Opens Path with Flags and takes the flock Lock without waiting; the open fails, and nothing
// else happens to the file, when another holder has a conflicting lock.
int OpenLocked(const std::string& Path, int Flags, int Lock) {
    int fd;
    // Non-blocking only for the open itself, so that a FIFO under the name cannot stall us.
    do {
        fd = ::open(Path.c_str(), Flags | O_CLOEXEC | O_NONBLOCK, kNewFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) ThrowErrno(errno);
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

bool FileExists(const std::string& Path) {
    struct stat st {};
    return !Path.empty() && ::stat(Path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& Path) { return !Path.empty() && IsDirectoryPath(Path); }

bool CanUseDirectory(const std::string& Dir, bool Write) {
    return !Dir.empty() && ::access(Dir.c_str(), R_OK | X_OK | (Write ? W_OK : 0)) == 0;
}

int64_t FileSizeOf(const std::string& Path) {
    struct stat st {};
    if (Path.empty() || ::stat(Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
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
    if (::renameat2(AT_FDCWD, From.c_str(), AT_FDCWD, To.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    err = errno;
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        // The file system cannot rename without replacing: a hard link fails on an existing
        // target just the same.
        if (::link(From.c_str(), To.c_str()) == 0) {
            if (::unlink(From.c_str()) == 0) return true;
            err = errno;
            ::unlink(To.c_str());
        } else {
            err = errno;
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
    return false;
}

bool DeleteFile(const std::string& Path) { return ::unlink(Path.c_str()) == 0; }

std::string ExecutablePath() {
    char buf[PATH_MAX + 1];
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return "";
    return std::string(buf, static_cast<size_t>(n));
}

bool MatchesMask(const std::string& Name, const std::string& Mask) {
    if (Mask == "*.*") return true;
    // Greedy match that backtracks only to the last "*": linear for one star, O(n*m) at worst.
    size_t n = 0, m = 0, starMask = std::string::npos, starName = 0;
    while (n < Name.size()) {
        if (m < Mask.size() && Mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < Mask.size() && (Mask[m] == '?' || FoldCase(Mask[m]) == FoldCase(Name[n]))) {
            ++m;
            ++n;
        } else if (starMask != std::string::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < Mask.size() && Mask[m] == '*') ++m;
    return m == Mask.size();
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
    if (::stat(Path.c_str(), &st) != 0) return std::nullopt;
    auto since =
        std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

std::string ReadFileText(const std::string& Path) {
    TLockedFile file = TLockedFile::OpenReadShareRead(Path);
    return file.ReadAll();
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

TLockedFile::TLockedFile(TLockedFile&& Other) noexcept : Fd(std::exchange(Other.Fd, -1)) {}

TLockedFile& TLockedFile::operator=(TLockedFile&& Other) noexcept {
    if (this != &Other) {
        Close();
        Fd = std::exchange(Other.Fd, -1);
    }
    return *this;
}

TLockedFile::~TLockedFile() { Close(); }

void TLockedFile::SeekEnd() {
    if (::lseek(Fd, 0, SEEK_END) < 0) ThrowErrno(errno);
}

void TLockedFile::Write(const std::string& Data) {
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

void TLockedFile::Close() {
    // Closing the descriptor releases the flock with it.
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
}
