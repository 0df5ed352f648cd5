#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <sys/types.h>

// Files that others read while they change (the renew record, the lease
// snapshot) are replaced whole, never rewritten in place: the new content goes
// to a temporary file "NAME.XXXXXX" in the same folder, is written whole and
// synced, and is renamed over NAME. A reader sees the old file or the new one,
// never a part, and a hard link to the old file keeps the old text. On any
// failure the temporary file is removed and the old file stays as it was.

// Fills the temporary file through fd; returns 0 or an errno value.
using ReplaceWriter = std::function<int(int fd)>;

// NAME within the folder dirFd (a name without '/'). The file gets exactly
// mode, whatever the umask. Returns 0, or the errno of the step that failed;
// a full file system shows as ENOSPC or EFBIG, never as success.
int replaceFileAt(int dirFd, const char *name, mode_t mode, const ReplaceWriter &writer);
int replaceFile(const char *path, mode_t mode, const ReplaceWriter &writer);
int replaceFile(const char *path, mode_t mode, const void *bytes, std::size_t size);

// Writes all size bytes: again after EINTR and after a short write. A write
// that makes no progress reports ENOSPC. Returns 0 or an errno value.
int writeAll(int fd, const void *bytes, std::size_t size);

// Whether name is one of the temporaries that a replacement of target leaves
// behind when its process is killed half-way: target, '.', six letters or
// digits.
bool isReplaceTemporary(std::string_view name, std::string_view target);

// Removes the temporaries of path's replacements that are left in its folder
// (see isReplaceTemporary). Only for a file that nobody replaces meanwhile.
void removeReplaceTemporaries(const char *path);
