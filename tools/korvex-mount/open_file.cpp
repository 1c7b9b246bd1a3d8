#include "open_file.h"

#include "korvex.hpp"

namespace korvex::mount {

OpenFile* OpenFiles::track(OpenFile* file) {
  std::lock_guard hold(mutex_);
  files_.insert(file);
  return file;
}

void OpenFiles::untrack(OpenFile* file) {
  std::lock_guard hold(mutex_);
  files_.erase(file);
}

std::set<OpenFile*> OpenFiles::takeAll() {
  std::set<OpenFile*> left;
  std::lock_guard hold(mutex_);
  left.swap(files_);
  return left;
}

OpenFile* OpenFiles::current(const std::string& path) {
  std::lock_guard hold(mutex_);
  for (OpenFile* file : files_) {
    if (file->current.load() && file->path() == path) return file;
  }
  return nullptr;
}

std::vector<std::string> OpenFiles::currentNames(const std::string& dir) {
  std::vector<std::string> names;
  std::lock_guard hold(mutex_);
  for (OpenFile* file : files_) {
    if (!file->current.load()) continue;
    const std::string path = file->path();
    if (korvex::parent_path(path) == dir) names.push_back(korvex::base_name(path));
  }
  return names;
}

int OpenFiles::uploadPending(const std::string& path, const std::function<int(OpenFile&)>& upload) {
  std::lock_guard hold(mutex_);
  for (OpenFile* file : files_) {
    if (!file->writable || file->path() != path) continue;
    std::lock_guard fileHold(file->mutex);
    if (file->dirty) {
      if (const int error = upload(*file)) return error;
    }
  }
  return 0;
}

void OpenFiles::move(const std::string& from, const std::string& to) {
  const std::string below = from + "/";
  std::lock_guard hold(mutex_);
  for (OpenFile* file : files_) {
    std::lock_guard pathHold(file->pathMutex);
    if (file->phonePath == from) {
      file->phonePath = to;
    } else if (file->phonePath.compare(0, below.size(), below) == 0) {
      file->phonePath = to + file->phonePath.substr(from.size());
    }
  }
}

}  // namespace korvex::mount
