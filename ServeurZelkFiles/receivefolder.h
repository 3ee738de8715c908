#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zelk {

// The system calls through which received bytes become durable, or an earlier file goes away.
// Tests put their own in place to see the order of writes, syncs and answers, or to make one fail.
class FileOps {
public:
    virtual ~FileOps() = default;
    virtual ssize_t pwrite(int fd, const void* bytes, std::size_t size, off_t offset);
    virtual int fdatasync(int fd);
    virtual int fsync(int fd);
    // Every file of the file system that holds `fd`: one journal commit for many files.
    virtual int syncfs(int fd);
    virtual int unlinkat(int folderFd, const char* name);
    // Within one folder: how a finished file takes its final name, replacing any of that name.
    virtual int renameat(int folderFd, const char* from, const char* to);
    static FileOps& system();
};

// Why a piece could not be written. `unsafe`: the name is held by something the server never
// writes through (a symbolic link, a folder, a FIFO, a device), as opposed to a failing disk.
struct WriteFailure {
    std::string why;
    bool unsafe = false;
    // A staging file that someone else moved, removed or replaced: its bytes are no longer the
    // server's to trust, and the transfer starts again.
    bool disturbed = false;
};

// The receive folder, held open so that everything below it is reached from its descriptor and a
// symbolic link swapped in anywhere below is never followed out of it.
class ReceiveFolder {
public:
    ReceiveFolder() = default;
    ~ReceiveFolder();
    ReceiveFolder(const ReceiveFolder&) = delete;
    ReceiveFolder& operator=(const ReceiveFolder&) = delete;

    // Makes the folder when missing (one level: its parent must exist) and holds it open.
    bool open(const std::string& path, std::string& error);
    // Makes sure the path still names the folder held: one removed meanwhile is made again as at
    // start-up, one replaced is held anew (`renewed` tells).
    bool refresh(bool& renewed, std::string& error);

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Changes each time another folder is held: descriptors opened below the earlier one are stale.
    std::uint64_t generation() const { return generation_; }

    // The origin's folder right below, made when missing (`made` tells); an empty name is the
    // receive folder itself. -1 when it cannot be had or is no plain folder.
    int openOriginFolder(std::string_view name, bool& made, WriteFailure& failure) const;

private:
    bool hold(std::string& error);

    std::string path_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::uint64_t generation_ = 0;
};

// Opens `name` in the folder for writing, creating it when missing (`made` tells), never through
// a symbolic link and never waiting (a FIFO put in its place is refused, not opened for good).
// `replace`: whatever file holds the name is deleted first, so that no old tail outlives a new
// transfer. -1 when the name holds anything but a plain file or the file cannot be had.
int openPlainFile(int folderFd, const std::string& name, bool replace, FileOps& ops, bool& made,
                  WriteFailure& failure);

} // namespace zelk
