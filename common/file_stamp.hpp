// A file as last seen (POSIX): any write moves its size or time, a replacement its inode. Cheap
// to take (one stat), so it tells whether a file is worth reading again.
#pragma once

#include <sys/stat.h>

#include <string>

namespace quorvel {

struct FileStamp {
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  bool operator==(const FileStamp& other) const {
    return inode == other.inode && size == other.size && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
  }
};

// A missing file's stamp is the empty one.
inline FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  struct stat facts {};
  if (stat(path.c_str(), &facts) == 0) {
    stamp.inode = facts.st_ino;
    stamp.size = facts.st_size;
    stamp.modified = facts.st_mtim;
  }
  return stamp;
}

}  // namespace quorvel
