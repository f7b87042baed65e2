// What identifies one state of a package file on disk: the same device, inode, size, modification and
// change times mean the file has not been written or replaced since (the change time moves with every
// write, even one that restores the modification time).
#pragma once

#include <cstdint>

struct stat;

namespace publisher {

struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const FileStamp&) const = default;
};

FileStamp StampFrom(const struct stat& st);

} // namespace publisher
