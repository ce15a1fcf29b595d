#pragma once
// The service's work on files: the writability probe, the property-list write
// and the cancel file. Every operation sets the file-creation mask to 002 as
// before, but gives the files it creates their 0664 bits explicitly, so a
// mask changed by another thread in between cannot narrow them.
//
// Only regular files on file systems that keep data are opened for writing or
// made: a folder, device, pipe or socket at the path, or a file or folder on a
// pseudo-file system (proc, sysfs, debugfs, cgroup and the like), answers
// false before anything is opened for writing. What is at a path is looked at
// through a descriptor that opens nothing (O_PATH), then that same file is
// opened.

#include "FileUrl.h"

#include <optional>
#include <string>
#include <string_view>

// True when a regular file at path can be opened, or created, for reading and
// writing at some moment during the call, also while others make and remove
// files there. An existing file is opened and closed untouched; for a missing
// one, a file that is never named shows that the folder takes it, so nothing
// appears at the path. Relative paths, paths of 256 or more bytes, with a NUL
// byte or not valid UTF-8, and dangling symbolic links: false.
bool isFilePathWritable_XPC(const std::string& path);

// Writes data as the whole new contents of the file that url names, or not at
// all: a write that answers false leaves the old contents as they were.
//
// The text goes to a file that is never named (O_TMPFILE) in the target's
// folder, which carries the old file's mode, owner, group, extended
// attributes and ACL; synced, it is linked in under a temporary name and
// renamed over the target. Should the process die first, it vanishes. Where
// that would give the file another owner or group, lose an attribute, split
// its hard links, or the folder takes no new file, the data are written
// through the file itself: the room for the new length is taken first
// (fallocate), so a full disk refuses the write before it begins, and should
// it still fail part-way, the old text is written back.
//
// Writers hold an advisory lock on the file (an open file description lock,
// which other programs' locks respect and which keeps writers of this process
// apart too) while they write, and wait at most 5 s for it.
//
// An existing file must be one the caller may open for writing; a symbolic
// link is written through to its target, a new file gets 0664. No URL, a
// relative path, a file the caller may not write, or anything but a regular
// file on an ordinary file system: false.
bool writeDictionaryToPlistFile_XPC(const std::optional<FileUrl>& url, std::string_view data);

// Creates the cancel file (0664) or opens it as it is, in append mode, and
// closes it at once; never truncates. False when that fails, or when what is
// there is not a regular file on an ordinary file system.
bool touchCancelFile(const std::string& path);

// Appends the one byte 0x01 to an existing cancel file, never creating it; a
// write error is tried once more. True when exactly one byte was written;
// false for anything but a regular file on an ordinary file system.
bool appendCancelByte(const std::optional<std::string>& path);
