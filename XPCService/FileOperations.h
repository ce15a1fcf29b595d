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
// writing. A file that the probe created is removed again; a file that existed
// is opened and closed untouched. Paths of 256 or more bytes, with a NUL byte,
// or not valid UTF-8: false.
bool isFilePathWritable_XPC(const std::string& path);

// Writes data as the whole new contents of the file that url names, or not at
// all: a write that answers false leaves the old contents as they were.
//
// A file is replaced through a temporary file ".name.XXXXXX" in the same
// folder that carries the file's mode, owner, group and extended attributes
// (its POSIX ACL included), is synced and renamed over it. Where the rename
// would give it another owner or group or lose an attribute, split its hard
// links, or cannot be made in its folder, the data are written through the
// file itself instead: the room for the new length is taken first
// (fallocate), so a full disk refuses the write before it begins, and should
// it still fail part-way, the old text is written back.
//
// Two writes of this process to one file, by one name or by its hard links,
// never mix: they take turns, and hold an advisory lock on the file (an open
// file description lock) while they write, which other programs' locks
// respect. A write waits at most 5 s for another program's lock.
//
// An existing file must be one the caller may open for writing; a symbolic
// link is written through to its target, a new file gets 0664. No URL, a file
// the caller may not write, or anything but a regular file on an ordinary
// file system: false. After stopFileWrites(): false.
bool writeDictionaryToPlistFile_XPC(const std::optional<FileUrl>& url, std::string_view data);

// Creates the cancel file (0664) or opens it as it is, in append mode, and
// closes it at once; never truncates. False when that fails, or when what is
// there is not a regular file on an ordinary file system.
bool touchCancelFile(const std::string& path);

// Appends the one byte 0x01 to an existing cancel file, never creating it; a
// write error is tried once more. True when exactly one byte was written;
// false for anything but a regular file on an ordinary file system.
bool appendCancelByte(const std::optional<std::string>& path);

// The service stops: every temporary file that a property-list write holds
// is removed now, writes still waiting for their turn or a lock give up, a
// write into a temporary file gives up at its next piece, and every later
// property-list write answers false. A write in place that has begun runs to
// its end, since stopping it would leave the file mixed. Called on the bus
// thread when the stop begins; safe to call more than once.
void stopFileWrites();
