// Files and directories: existence, sizes, renames that never replace, directory search with
// wildcards, and opens with share modes (an advisory flock held for the life of the handle).
// Any thread; nothing here keeps state between calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A failed file operation; what() is the system's error text, Code its errno.
class EFileError : public std::runtime_error {
  public:
    EFileError(const std::string& Message, int Code) : std::runtime_error(Message), Code(Code) {}
    int Code;
};

// The system's text for an errno value.
std::string SystemErrorText(int ErrorCode);
// True for the failures that pass by themselves or once an operator freed space or storage:
// I/O errors, a full disk or quota, a read-only or stale file system, a lock, exhausted handles.
bool IsPassingFileError(int ErrorCode);

// True when Path exists and is not a directory (a link counts as there, not followed).
bool FileExists(const std::string& Path);
// What the entry Path names is, itself: a link in its last component is not followed.
enum class TEntryKind { Missing, RegularFile, SymbolicLink, Directory, Other };
TEntryKind EntryKindOf(const std::string& Path);
bool DirectoryExists(const std::string& Path);
// True when this process may list Dir and, with Write, also create, rename and remove entries
// in it.
bool CanUseDirectory(const std::string& Dir, bool Write);
// True when this process may read the file Path and, with Write, also write it.
bool CanAccessFile(const std::string& Path, bool Write);
// Size in bytes of a file; 0 when it is missing or not a regular file (a link is not followed;
// nor is it by the times below).
int64_t FileSizeOf(const std::string& Path);
// Creates Dir together with any missing parents; true when Dir exists afterwards.
// An empty Dir fails.
bool ForceDirectories(const std::string& Dir);
// Renames From to To but never replaces an existing To. On failure returns false, leaves the
// system's error code in errno and, when ErrorText is given, sets it to the system's text.
bool RenameNoReplace(const std::string& From, const std::string& To, std::string* ErrorText);
// False when the file system of Dir can neither rename without replacing nor link, so that
// RenameNoReplace can give no file there to exactly one taker. Found out by renaming a hidden
// file of its own, removed again; true when that file cannot even be made (Dir's own trouble).
bool CanRenameNoReplaceIn(const std::string& Dir);
// Removes a file (not a directory).
bool DeleteFile(const std::string& Path);
// Full path of the running executable.
std::string ExecutablePath();
// Names (not paths) of the entries of Dir of every kind whose names match Mask, in directory
// order. "*" matches any run of characters, "?" one character, case-insensitively (ASCII);
// "*.*" matches every name. Never "." or "..". An empty, missing or unreadable Dir gives none.
std::vector<std::string> FindFiles(const std::string& Dir, const std::string& Mask);
// True when Name matches Mask under the rules of FindFiles.
bool MatchesMask(const std::string& Name, const std::string& Mask);
std::optional<std::chrono::system_clock::time_point> FileModificationTime(const std::string& Path);
// The modification time in nanoseconds since the epoch; 0 for a missing file.
int64_t FileModifiedNs(const std::string& Path);
// The time of the last change to the entry itself (a rename, a change of mode or owner, a
// write), the same way; 0 for a missing file.
int64_t FileStatusChangeNs(const std::string& Path);
// The number of names (hard links) of the entry Path itself; 0 when it is missing.
int64_t LinkCountOf(const std::string& Path);
// True when both paths name one existing file or directory, however they are spelled.
bool SameFile(const std::string& A, const std::string& B);
// Which file it is and how it stood: another file under the same name has another Device or
// Inode, a file written to another Size or ModifiedNs.
struct TFileIdentity {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    int64_t Size = 0;
    int64_t ModifiedNs = 0;
    bool operator==(const TFileIdentity&) const = default;
};
// Of the entry Path itself (a link is not followed); nothing when it is missing.
std::optional<TFileIdentity> FileIdentityOf(const std::string& Path);
// The whole content of a file, opened so that others may read but not write it meanwhile.
// Throws EFileError with the system's text.
std::string ReadFileText(const std::string& Path);
// The whole content of a file that is not in a share, but the operator's own (the
// configuration beside the executable): a link to it is followed, as the operator may keep it
// elsewhere. Anything but a regular file fails. Throws EFileError, "Cannot open file \"P\": ..."
// or "Cannot read file \"P\": ...".
std::string ReadOwnFileText(const std::string& Path);
// The same, named for the callers that rely on it: like every open here, anything but a
// regular file fails before a byte is read (see TLockedFile).
std::string ReadRegularFileText(const std::string& Path);
// Appends Text at the end of Path (created when missing, never emptied) and returns once
// write, fdatasync and close all succeeded. Otherwise throws EFileError, leaving the file as
// it was as far as the system allows; a close that fails counts as success only when what was
// written reads back in place and syncs again. A lock another holder has fails with
// EWOULDBLOCK and changes nothing.
void AppendDurably(const std::string& Path, std::string_view Text);
// Makes the entries of Dir (names created, renamed or removed) survive a crash of the machine.
// File systems that cannot sync a directory are taken as done. Throws EFileError.
void SyncDirectory(const std::string& Dir);
// True for the characters that part the levels of a path: "/", and on Windows also "\\".
bool IsPathSeparator(char C);
// True when Path names the same entry whatever the working directory: "/..." on Linux; a drive
// ("C:\\...", "C:/...") or a share ("\\\\server\\...") on Windows.
bool IsAbsolutePath(const std::string& Path);
// The directory part of Path with its trailing "/" ("" for a bare name).
std::string DirectoryOf(const std::string& Path);
// The name part of Path, after its last "/" (all of it for a bare name).
std::string FileNameOf(const std::string& Path);
// A name for a temporary file beside Path that no other process or thread of any host picks.
std::string TemporaryNameBeside(const std::string& Path);
// Removes Path, a temporary of TemporaryNameBeside that a crash left behind: a regular file
// nobody holds locked, unchanged for at least Age. Anything else stays. Never throws.
void RemoveLeftTemporary(const std::string& Path, std::chrono::seconds Age);

// An open file with its share lock. A lock another holder has makes the open fail, as a
// sharing violation would; the lock goes with Close() or the destructor. Openers throw
// EFileError with the system's text. Only a regular file is opened, never through a symbolic
// link in the last component of its name: a link fails with "Is a symbolic link" (Code ELOOP),
// a FIFO, device, socket or directory with "Not a regular file" (Code EINVAL), without being
// opened.
class TLockedFile {
  public:
    // Creates the file or empties it, with exclusive access. A file another holder has
    // locked is left as it is.
    static TLockedFile CreateExclusive(const std::string& Path);
    // An existing file opened for writing; others may read it meanwhile but not write.
    static TLockedFile OpenWriteShareRead(const std::string& Path);
    // An existing file opened for reading; others may read it meanwhile but not write.
    static TLockedFile OpenReadShareRead(const std::string& Path);
    // As OpenReadShareRead.
    static TLockedFile OpenRegularShareRead(const std::string& Path);
    // A file that must not exist yet, created with exclusive access.
    static TLockedFile CreateNew(const std::string& Path);
    // An existing file opened for reading and writing with exclusive access, but only while Path
    // still names the file that was locked (not one removed or replaced meanwhile).
    static TLockedFile OpenExclusive(const std::string& Path);
    // Appends with exclusive access: creates a missing file, never empties an existing one.
    static TLockedFile OpenAppend(const std::string& Path);
    // A lock file: created when missing, held exclusively, and always the file Path names.
    static TLockedFile OpenLockFile(const std::string& Path);

    TLockedFile(TLockedFile&& Other) noexcept;
    TLockedFile& operator=(TLockedFile&& Other) noexcept;
    TLockedFile(const TLockedFile&) = delete;
    TLockedFile& operator=(const TLockedFile&) = delete;
    ~TLockedFile();

    void SeekEnd();
    void SeekStart();
    // Writes all of Data; throws EFileError.
    void Write(std::string_view Data);
    // Writes all of Data at Offset, leaving the position where it was; throws EFileError.
    void WriteAt(int64_t Offset, std::string_view Data);
    // Reads from the current position to the end; throws EFileError.
    std::string ReadAll();
    // Reads what comes next into Buffer, up to Size bytes; 0 at the end. Throws EFileError.
    size_t ReadSome(char* Buffer, size_t Size);
    // Up to Count bytes from Offset, fewer at the end of the file; throws EFileError.
    std::string ReadAt(int64_t Offset, size_t Count);
    // The file's size in bytes; throws EFileError.
    int64_t Size() const;
    // Of the open file itself, whatever its name names meanwhile; throws EFileError.
    TFileIdentity Identity() const;
    // Cuts the file to Size bytes; throws EFileError.
    void Truncate(int64_t Size);
    // The written data reaches the disk (fdatasync); throws EFileError.
    void Sync();
    // Asks the kernel to begin writing the file out, without waiting: files synced one after
    // another then share their file system's commits. Best effort; Sync still says what failed.
    void StartWriteBack();
    // Gives the file these permission bits, whatever the umask made of them; throws EFileError.
    void SetPermissions(unsigned Mode);
    // Closes the file; a close that fails (data that may not have reached the file) throws
    // EFileError. The destructor closes without reporting.
    void Close();
    bool IsOpen() const { return Fd >= 0; }
    // True while Path names this open file.
    bool IsAt(const std::string& Path) const;

  private:
    explicit TLockedFile(int Fd) : Fd(Fd) {}
    int Fd = -1;
};

// A file that appears whole or not at all: written under a temporary name beside Path, then
// synced and renamed into place by Commit(), which replaces a file of that name. Destroyed
// uncommitted, the temporary is removed. Throws EFileError.
class TAtomicFile {
  public:
    explicit TAtomicFile(std::string Path);
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;
    ~TAtomicFile();

    void Write(std::string_view Data) { File.Write(Data); }
    // As TLockedFile::SetPermissions, before the file appears.
    void SetPermissions(unsigned Mode) { File.SetPermissions(Mode); }
    void Commit();

  private:
    std::string Path;
    std::string Temporary;
    TLockedFile File;
    bool Committed = false;
};
