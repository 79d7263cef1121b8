#pragma once

// A file that takes its name only once it is complete. It is written with
// no name at all (O_TMPFILE), which nothing has to clean up however the
// process ends, and linked in by Commit(). Where the file system can't make
// unnamed files, it is written under a hidden name in the same directory,
// ".gondavel_wubbix-render.XXXXXX", which the destructor removes, and so
// does a handler on every signal that would end the process (only SIGKILL
// can leave it behind).
//
// A new file gets the usual permissions (0666 less the umask, or the
// directory's default ACL); a file that is replaced passes on its permission
// bits and its ACL, never setuid, setgid or sticky, and nobody else can open
// the new file before it has them.
// One pending file at a time; the main thread only.

#include "OutputPlace.h"
#include "Result.h"

#include <memory>
#include <vector>

class PendingFile {
public:
    // The file, for `place`; an error with the reason if it can't be made.
    static Result<std::unique_ptr<PendingFile>> Create(OutputPlace place);
    // Removes the hidden name, if there is one and Commit() didn't use it.
    ~PendingFile();

    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // The descriptor to write to.
    int Descriptor() const { return fDescriptor; }
    // Every descriptor the file holds, for processes that must not hold them.
    std::vector<int> Descriptors() const { return { fDescriptor, fPlace.Directory() }; }

    // Makes sure of what was written (fsync), closes the file and gives it
    // its name, replacing the file there; the reason if any step fails, and
    // then nothing has changed at the name.
    Result<> Commit();

private:
    PendingFile(OutputPlace place, int descriptor, std::string hiddenName);
    Result<> CommitHidden();
    Result<> CommitUnnamed();

    OutputPlace fPlace;
    int fDescriptor;
    // Empty for an unnamed file.
    std::string fHiddenName;
};
