#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

// Replaces a file whole: the content goes to a temporary file beside it,
// "<path>.tmp", which is flushed to disk and renamed over the file; the
// directory is then flushed too, so that the rename survives a power loss.
// A failed write leaves the old file as it was, removes the temporary and
// gives false with errno telling why. A crash leaves at most the one
// temporary, which the next write replaces. A file that already is what the
// write would make (this content, the mode a new file gets, a regular file
// of this user with one link, no temporary beside it) is kept, and flushed
// unless it still is the file this process last flushed there, unchanged.
// Callers serialise writes of the same file.
class AtomicFile {
public:
    // A new file gets `mode` (less the umask), whatever the old one had.
    static bool write(std::string const& path, std::string_view content, mode_t mode = 0644);

    // The same for a file that is someone else's, replaced as the file it
    // is: a symbolic link is followed and its target replaced, and an
    // existing target keeps its mode. Only a regular file that this process
    // may open for writing is replaced; anything else gives false with the
    // reason in errno (EACCES, EISDIR, EINVAL...). A new file gets `mode`
    // less the umask.
    static bool replace(std::string const& path, std::string_view content, mode_t mode = 0644);
    // Whether replace could write `path` now: the checks above, and a file
    // can be made beside the target. Changes nothing.
    static bool replaceable(std::string const& path);
};
