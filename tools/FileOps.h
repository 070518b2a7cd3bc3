// The few file system operations the harness performs on the trees it
// builds and changes. Each returns false with error set (naming the path
// and the system's reason) instead of throwing; none follows a symbolic
// link it finds inside a tree.
#pragma once

#include <cstdio>
#include <string>

namespace snapagent {

// Folders that hold what names the backed-up files (the state and job
// results folders): no other local user may list them.
constexpr unsigned kPrivateFolderMode = 0700;
// Like mkdir -p; folders it creates get the mode (less the umask).
bool MakeDirectories(const std::string& path, std::string& error, unsigned mode = 0755);
// mode >= 0: the file gets exactly these permission bits (e.g. 0600 for a
// file that holds a password), also when it existed.
bool WriteBytes(const std::string& path, const std::string& bytes, bool append, std::string& error,
                int mode = -1);
bool RenamePath(const std::string& from, const std::string& to, std::string& error);
bool HardLink(const std::string& existing, const std::string& name, std::string& error);
bool SymbolicLink(const std::string& target, const std::string& name, std::string& error);
// Removes a file, or a directory with everything below it, write-protected
// read-only copies included. A path that does not exist is not an error.
bool RemoveTree(const std::string& path, std::string& error);
// Removes a regular file; a path that does not exist is not an error, and
// anything else there (a folder, a link) is refused and left alone.
bool RemoveRegularFile(const std::string& path, std::string& error);
// A path given relative to the working folder made absolute, as a shell
// user means it; an absolute one stays as it is.
bool MakeAbsolute(std::string& path, std::string& error);
// Writes text to the stream and flushes it; false (errno set) when either
// failed. A line-buffered stream (stdout) reports a failed flush only in its
// error flag, which this reads too.
bool WriteAndFlush(FILE* file, const std::string& text);
// A new, empty folder under $TMPDIR (else /tmp) whose name starts with prefix.
bool MakeTempFolder(const std::string& prefix, std::string& path, std::string& error);

}  // namespace snapagent
