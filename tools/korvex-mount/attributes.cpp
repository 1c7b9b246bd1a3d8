#include "attributes.h"

#include <unistd.h>

#include <cerrno>

#include "korvex.hpp"
#include "phone.h"

namespace korvex::mount {

Attributes::Attributes(Phone& phone, MetaCache& meta)
    : phone_(phone), meta_(meta), mountTime_(::time(nullptr)), uid_(::getuid()), gid_(::getgid()) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  fileMode_ = 0666 & ~mask;
  dirMode_ = 0777 & ~mask;
}

int Attributes::lookup(const std::string& path, Attr& out) {
  if (path.size() > kMaxPath) return -ENAMETOOLONG;
  if (auto known = meta_.find(path)) {
    if (known->kind == Kind::Missing) return -ENOENT;
    if (known->kind == Kind::Directory || known->size) {
      out = *known;
      return 0;
    }
  }
  const SessionRef session = phone_.session();
  if (!session) return -EIO;
  const korvex::Result<std::uint32_t> size = session->file_size(path);
  if (!session->connected()) return -EIO;
  if (size) {
    out = Attr{Kind::File, *size};
  } else {
    const korvex::Answer directory = session->is_directory(path);
    if (!directory.ok() || !session->connected()) return -EIO;
    if (directory.yes()) {
      out = Attr{Kind::Directory, std::nullopt};
    } else {
      const korvex::Answer exists = session->exists(path);
      if (!exists.ok() || !session->connected()) return -EIO;
      if (exists.yes()) return -EOVERFLOW;  // there, but the phone gives no size (4 GiB or more)
      out = Attr{Kind::Missing, std::nullopt};
    }
  }
  meta_.remember(path, out);
  return out.kind == Kind::Missing ? -ENOENT : 0;
}

void Attributes::fill(const Attr& attr, struct stat* st) const {
  st->st_uid = uid_;
  st->st_gid = gid_;
  st->st_atime = st->st_mtime = st->st_ctime = mountTime_;
  st->st_blksize = kBlockSize;
  if (attr.kind == Kind::Directory) {
    st->st_mode = S_IFDIR | dirMode_;
    st->st_nlink = 2;
  } else {
    st->st_mode = S_IFREG | fileMode_;
    st->st_nlink = 1;
    st->st_size = attr.size.value_or(0);
    st->st_blocks = (st->st_size + 511) / 512;
  }
}

}  // namespace korvex::mount
