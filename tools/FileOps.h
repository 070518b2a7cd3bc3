// The few file system operations the harness performs on the trees it
// builds and changes. Each returns a failed Status (not found when the
// path is missing, else an I/O error; its message names the path and the
// system's reason) instead of throwing; none follows a symbolic link it
// finds inside a tree.
#pragma once

#include "hostlib/Status.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace snapagent {

// "what [path]: " and the system's reason for the error number: not found
// for ENOENT, else an I/O error.
hostlib::Status ErrnoFailure(const std::string& what, const std::string& path, int error = errno);

// Folders that hold what names the backed-up files (the state and job
// results folders): no other local user may list them.
constexpr unsigned kPrivateFolderMode = 0700;
// Like mkdir -p; folders it creates get the mode (less the umask).
hostlib::Status MakeDirectories(const std::string& path, unsigned mode = 0755);
// mode >= 0: the file gets exactly these permission bits (e.g. 0600 for a
// file that holds a password), also when it existed.
hostlib::Status WriteBytes(const std::string& path, const std::string& bytes, bool append,
                           int mode = -1);
hostlib::Status RenamePath(const std::string& from, const std::string& to);
hostlib::Status HardLink(const std::string& existing, const std::string& name);
hostlib::Status SymbolicLink(const std::string& target, const std::string& name);
// Removes a file, or a directory with everything below it, write-protected
// read-only copies included. A path that does not exist is not an error.
hostlib::Status RemoveTree(const std::string& path);
// Removes a regular file; a path that does not exist is not an error, and
// anything else there (a folder, a link) is refused (invalid argument) and
// left alone.
hostlib::Status RemoveRegularFile(const std::string& path);
// A path given relative to the working folder made absolute, as a shell
// user means it; an absolute one stays as it is.
hostlib::Status MakeAbsolute(std::string& path);
// Writes text to the stream and flushes it; false (errno set) when either
// failed. A line-buffered stream (stdout) reports a failed flush only in its
// error flag, which this reads too.
bool WriteAndFlush(FILE* file, const std::string& text);
// A new, empty folder under $TMPDIR (else /tmp) whose name starts with prefix.
hostlib::Status MakeTempFolder(const std::string& prefix, std::string& path);

}  // namespace snapagent
