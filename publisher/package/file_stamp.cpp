#include "publisher/package/file_stamp.h"

#include <sys/stat.h>

namespace publisher {

FileStamp StampFrom(const struct stat& st) {
    auto ns = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
    return {uint64_t(st.st_dev), uint64_t(st.st_ino), uint64_t(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

} // namespace publisher
