// What the gateway hands over becomes lines and file names here, and nothing more: its text
// stays one field of one line, and the names it reports make only files of their own kind,
// and no more of them in one collection than kMaxNewFilesPerCollection. Any thread.
#pragma once

#include <map>
#include <string>

// Lines kept from their status or reply file (by a stop, a failure that outlasted its tries, or
// a name the gateway may not make) go beside the process log into a file of this prefix and the
// target's path (UnwrittenFileName).
constexpr const char* kUnwrittenPrefix = "Unwritten-";
// Status and reply files end in this.
constexpr const char* kCollectedFileExtension = ".CSV";
// New status and reply files one collection may make; the lines of the others are kept aside.
constexpr int kMaxNewFilesPerCollection = 1000;

// A client application value as a file name: "/", "\" and control characters become "_".
std::string SafeFileNamePart(const std::string& Value);
// The "Unwritten-" file name for the lines of TargetFile: the prefix and the whole path with
// each "/" as "_", and "_", "%", "~" and control characters as "%XX", so that no two targets
// share one. A name above 255 bytes is cut and ends in "~", 16 hex digits of a hash of the
// path, and ".CSV".
std::string UnwrittenFileName(const std::string& TargetFile);
// A value of the gateway as a field of a status, reply or combined line: each control
// character (CR and LF among them) becomes one space, so that no value makes a line of its own.
std::string GatewayField(const std::string& Value);
// True when a name the gateway reports may not name a file: empty, hidden, or a name of the
// service's own kinds (a confirmation, lock, journal, log or claimed file).
bool IsRefusedCollectedName(const std::string& Name);
// Where the lines of the files beyond the limit of one collection in Directory are kept: each
// line then begins with the name of the file it was for.
std::string BeyondLimitTarget(const std::string& Directory);

// The files one collection makes: a target that is there already, or was admitted before in
// this collection, is admitted; a new one while fewer than kMaxNewFilesPerCollection were.
class TNewFileLimit {
  public:
    bool Admits(const std::string& Target);

  private:
    std::map<std::string, bool> Decided;
    int Made = 0;
};
