// SPDX-License-Identifier: ISC
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace render {

// Where a file lives, whatever names lead to it (symbolic links, "./", hard links): the device
// and inode of an existing file, or the device and inode of the folder and the name under which a
// new one will appear. Outputs are compared with the inputs and with each other by place, so that
// no name can make the renderer write over a file it reads or write one file twice.
struct FilePlace {
  dev_t device = 0;
  ino_t inode = 0;
  std::string newName; // empty for an existing file

  bool operator==(const FilePlace& other) const = default;
};

// The place of an existing file, from its stat() or fstat().
inline FilePlace placeOf(const struct stat& info)
{
  return FilePlace{info.st_dev, info.st_ino, std::string()};
}

} // namespace render
