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
  // All three questions in one round trip, whatever the path turns out to be.
  const korvex::Result<korvex::PathStatus> status = session->status(path);
  if (!status) return -EIO;  // a refusal of all three is "missing"; a failure is the link
  switch (status->kind) {
    case korvex::PathKind::file: out = Attr{Kind::File, status->size}; break;
    case korvex::PathKind::directory: out = Attr{Kind::Directory, std::nullopt}; break;
    case korvex::PathKind::unsized: return -EOVERFLOW;  // there, but the phone gives no size (4 GiB or more)
    case korvex::PathKind::missing: out = Attr{Kind::Missing, std::nullopt}; break;
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
