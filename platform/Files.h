// Files and directories: existence, sizes, renames that never replace, directory search with
// wildcards, and opens with share modes (an advisory flock held for the life of the handle).
// Any thread; nothing here keeps state between calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A failed file operation; what() is the system's error text, Code its errno.
class EFileError : public std::runtime_error {
  public:
    EFileError(const std::string& Message, int Code) : std::runtime_error(Message), Code(Code) {}
    int Code;
};

// The system's text for an errno value.
std::string SystemErrorText(int ErrorCode);

// True when Path exists and is not a directory.
bool FileExists(const std::string& Path);
bool DirectoryExists(const std::string& Path);
// True when this process may list Dir and, with Write, also create, rename and remove entries
// in it.
bool CanUseDirectory(const std::string& Dir, bool Write);
// Size in bytes of a file; 0 when it is missing or not a regular file.
int64_t FileSizeOf(const std::string& Path);
// Creates Dir together with any missing parents; true when Dir exists afterwards.
// An empty Dir fails.
bool ForceDirectories(const std::string& Dir);
// Renames From to To but never replaces an existing To. On failure returns false and, when
// ErrorText is given, sets it to the system's error text.
bool RenameNoReplace(const std::string& From, const std::string& To, std::string* ErrorText);
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
// The whole content of a file, opened so that others may read but not write it meanwhile.
// Throws EFileError with the system's text.
std::string ReadFileText(const std::string& Path);

// An open file with its share lock. A lock another holder has makes the open fail, as a
// sharing violation would; the lock goes with Close() or the destructor. Openers throw
// EFileError with the system's text.
class TLockedFile {
  public:
    // Creates the file or empties it, with exclusive access. A file another holder has
    // locked is left as it is.
    static TLockedFile CreateExclusive(const std::string& Path);
    // An existing file opened for writing; others may read it meanwhile but not write.
    static TLockedFile OpenWriteShareRead(const std::string& Path);
    // An existing file opened for reading; others may read it meanwhile but not write.
    static TLockedFile OpenReadShareRead(const std::string& Path);

    TLockedFile(TLockedFile&& Other) noexcept;
    TLockedFile& operator=(TLockedFile&& Other) noexcept;
    TLockedFile(const TLockedFile&) = delete;
    TLockedFile& operator=(const TLockedFile&) = delete;
    ~TLockedFile();

    void SeekEnd();
    // Writes all of Data; throws EFileError.
    void Write(const std::string& Data);
    // Reads from the current position to the end; throws EFileError.
    std::string ReadAll();
    void Close();
    bool IsOpen() const { return Fd >= 0; }

  private:
    explicit TLockedFile(int Fd) : Fd(Fd) {}
    int Fd = -1;
};
