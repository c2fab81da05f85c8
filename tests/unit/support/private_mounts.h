// Mounts that provoke real file-system failures in a test: a read-only bind
// mount (EROFS) and a small tmpfs (ENOSPC); and a plain bind mount, for code
// that must keep out of what is mounted inside a tree. For a forked child only
// (RunInChild): EnterPrivateMounts() first gives the child a private mount
// namespace, so nothing reaches the host and every mount made after it goes
// with the child. Each call adds a gtest failure and returns false when it
// cannot do its part.
#ifndef TESTS_UNIT_SUPPORT_PRIVATE_MOUNTS_H
#define TESTS_UNIT_SUPPORT_PRIVATE_MOUNTS_H

#include <cstddef>
#include <string>

// A mount namespace of the calling process's own, with no propagation to or
// from the host. Call it before the child starts any thread (its first log
// line starts the logger's writer).
bool EnterPrivateMounts();

// Makes path (a directory or a file) read-only where it is: creating,
// changing, removing or renaming anything at or below it fails with EROFS.
// The working directory is entered again, so relative paths see the mount.
bool BindReadOnly(const std::string& path);

// Bind-mounts the directory source on the directory target, writable: what
// is done below target is done to source's files.
bool Bind(const std::string& source, const std::string& target);

// Mounts an empty tmpfs of `bytes` bytes (mode 0755) on the directory path:
// writing more than fits fails with ENOSPC. The working directory is entered
// again when its path still leads somewhere.
bool MountTmpfs(const std::string& path, size_t bytes);

#endif
