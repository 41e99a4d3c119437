#pragma once

#include <string>
#include <system_error>

// Deletes a file by its path (UTF-8). Where the system keeps a folder's
// entries apart from the files (POSIX), the folder is synced too, so the
// deletion survives a crash right after it; the error is the system's own.
std::error_code DeleteFileAt(const std::string& path);

// Whether error, from opening, renaming or deleting path, means that another
// program has the file open for now (a scanner, an indexer, a sync client,
// the game): a sharing or lock violation, a file that is being deleted, or
// access denied to a file held open without leave to delete it. A read-only
// file, a missing right or a missing folder is not. Never on POSIX, where
// files are not held against others.
bool HeldByAnother(std::error_code error, const std::string& path);

#ifndef _WIN32
// Makes a rename or an unlink in path's folder durable: on POSIX it reaches
// the disk only with the folder.
void SyncFolderOf(const std::string& path);
#endif
