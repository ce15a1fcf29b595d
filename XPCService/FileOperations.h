#pragma once
// The service's work on files: the writability probe, the property-list write
// and the cancel file. Every operation sets the file-creation mask to 002 as
// before, but gives the files it creates their 0664 bits explicitly, so a
// mask changed by another thread in between cannot narrow them.

#include "FileUrl.h"

#include <optional>
#include <string>
#include <string_view>

// True when a file at path can be opened, or created, for reading and
// writing. A file that the probe created is removed again; a file that existed
// is opened and closed untouched. Paths of 256 or more bytes, with a NUL byte,
// or not valid UTF-8: false.
bool isFilePathWritable_XPC(const std::string& path);

// Writes data as the whole new contents of the file that url names, through a
// temporary file in the same folder that is synced and renamed over it: a
// failed write leaves the old contents whole. An existing file must be one the
// caller may open for writing; where the rename would give it another owner
// or group, split its hard links, or cannot be made in its folder, the data
// are written through the file itself instead. An existing file keeps its
// permission bits, a symbolic link is written through to its target, a new
// file gets 0664. No URL, a file the caller may not write, or a folder, device
// or pipe at the path: false.
bool writeDictionaryToPlistFile_XPC(const std::optional<FileUrl>& url, std::string_view data);

// Creates the cancel file (0664) or opens it as it is, in append mode, and
// closes it at once; never truncates. False when that fails.
bool touchCancelFile(const std::string& path);

// Appends the one byte 0x01 to an existing cancel file, never creating it; a
// write error is tried once more. True when exactly one byte was written.
bool appendCancelByte(const std::optional<std::string>& path);
