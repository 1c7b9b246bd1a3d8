#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "api/boundary.h"
#include "korvex.h"
#include "session/batches.h"
#include "session/session.h"

using namespace korvex;

namespace {

PhoneSession* session(SessionHandle handle) { return reinterpret_cast<PhoneSession*>(handle); }

// One malloc'd block: the array, then the names it points into, so one free
// releases all of it. NULL when memory runs out.
KorvexEntry* pack(const std::vector<batches::Entry>& entries) {
  std::size_t total = entries.size() * sizeof(KorvexEntry);
  for (const batches::Entry& entry : entries) total += entry.name.size() + 1;
  auto* block = static_cast<KorvexEntry*>(std::malloc(total));
  if (block == nullptr) return nullptr;
  char* names = reinterpret_cast<char*>(block + entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::memcpy(names, entries[i].name.c_str(), entries[i].name.size() + 1);
    block[i] = {names, entries[i].size, entries[i].isDirectory ? 1 : 0};
    names += entries[i].name.size() + 1;
  }
  return block;
}

// Whether every one of the `count` paths a host passed is there.
bool allGiven(const char* const* paths, int count) {
  return count == 0 || std::none_of(paths, paths + count, [](const char* path) { return path == nullptr; });
}

// A series' outcome as the host's flags; the count that landed.
int flagLanded(const std::vector<bool>& arrived, int* landed) {
  int total = 0;
  for (std::size_t i = 0; i < arrived.size(); ++i) {
    landed[i] = arrived[i] ? 1 : 0;
    total += landed[i];
  }
  return total;
}

int kindCode(batches::Kind kind) {
  switch (kind) {
    case batches::Kind::File: return KORVEX_KIND_FILE;
    case batches::Kind::Directory: return KORVEX_KIND_DIRECTORY;
    case batches::Kind::Unsized: return KORVEX_KIND_UNSIZED;
    case batches::Kind::Missing: break;
  }
  return KORVEX_KIND_MISSING;
}

}  // namespace

extern "C" {

KORVEX_API int GetEntries(SessionHandle handle, const char* path, KorvexEntry** entries) {
  api::trace("[%d-%d-%d]GetEntries %s", handle, path ? path : "(null)");
  if (entries == nullptr) return -1;
  *entries = nullptr;
  if (path == nullptr) return -1;
  const int count = api::guarded(-1, [&] {
    std::vector<batches::Entry> listed;
    if (session(handle)->entries(path, listed) != batches::Outcome::Done) return -1;
    if (listed.empty()) return 0;
    if (listed.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return -1;
    *entries = pack(listed);
    return *entries != nullptr ? static_cast<int>(listed.size()) : -1;
  });
  api::trace("[%d-%d-%d]GetEntries return %d", handle, count);
  return count;
}

KORVEX_API void FreeEntries(KorvexEntry* entries) { std::free(entries); }

KORVEX_API int GetSizes(SessionHandle handle, const char* const* paths, int count, long long* sizes) {
  api::trace("[%d-%d-%d]GetSizes %d", handle, count);
  if (count < 0 || (count > 0 && (paths == nullptr || sizes == nullptr))) return -1;
  std::fill_n(sizes, count, -1);
  if (!allGiven(paths, count)) return -1;
  if (count == 0) return 0;
  const int result = api::guarded(-1, [&] {
    const std::vector<std::string_view> asked(paths, paths + count);
    std::vector<std::int64_t> found;
    if (session(handle)->sizes(asked, found) != batches::Outcome::Done) return -1;
    for (int i = 0; i < count; ++i) sizes[i] = found[static_cast<std::size_t>(i)];
    return count;
  });
  api::trace("[%d-%d-%d]GetSizes return %d", handle, result);
  return result;
}

KORVEX_API int GetKinds(SessionHandle handle, const char* const* paths, int count, int* kinds, long long* sizes) {
  api::trace("[%d-%d-%d]GetKinds %d", handle, count);
  if (count < 0 || (count > 0 && (paths == nullptr || kinds == nullptr))) return -1;
  std::fill_n(kinds, count, -1);
  if (sizes != nullptr) std::fill_n(sizes, count, -1);
  if (!allGiven(paths, count)) return -1;
  if (count == 0) return 0;
  const int result = api::guarded(-1, [&] {
    const std::vector<std::string_view> asked(paths, paths + count);
    std::vector<batches::PathKind> found;
    if (session(handle)->kinds(asked, found) != batches::Outcome::Done) return -1;
    for (int i = 0; i < count; ++i) {
      const batches::PathKind& path = found[static_cast<std::size_t>(i)];
      kinds[i] = kindCode(path.kind);
      if (sizes != nullptr && path.kind == batches::Kind::File) sizes[i] = path.size;
    }
    return count;
  });
  api::trace("[%d-%d-%d]GetKinds return %d", handle, result);
  return result;
}

KORVEX_API int UploadFiles(SessionHandle handle, const char* const* localPaths, const char* const* phonePaths,
                           int count, int* landed) {
  api::trace("[%d-%d-%d]UploadFiles %d", handle, count);
  if (count < 0 || (count > 0 && (localPaths == nullptr || phonePaths == nullptr || landed == nullptr))) return -1;
  std::fill_n(landed, count, 0);
  if (!allGiven(localPaths, count) || !allGiven(phonePaths, count)) return -1;
  if (count == 0) return 0;
  const int result = api::guarded(-1, [&] {
    std::vector<UploadJob> jobs;
    jobs.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) jobs.push_back({localPaths[i], phonePaths[i]});
    std::vector<bool> arrived;
    const bool whole = session(handle)->uploadSeries(jobs, arrived);
    const int total = flagLanded(arrived, landed);
    return whole ? total : -1;
  });
  api::trace("[%d-%d-%d]UploadFiles return %d", handle, result);
  return result;
}

KORVEX_API int DownloadFiles(SessionHandle handle, const char* const* phonePaths, const char* const* localPaths,
                             int count, int* landed) {
  api::trace("[%d-%d-%d]DownloadFiles %d", handle, count);
  if (count < 0 || (count > 0 && (phonePaths == nullptr || localPaths == nullptr || landed == nullptr))) return -1;
  std::fill_n(landed, count, 0);
  if (!allGiven(phonePaths, count) || !allGiven(localPaths, count)) return -1;
  if (count == 0) return 0;
  const int result = api::guarded(-1, [&] {
    std::vector<DownloadJob> jobs;
    jobs.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) jobs.push_back({phonePaths[i], localPaths[i]});
    std::vector<bool> arrived;
    const bool whole = session(handle)->downloadSeries(jobs, arrived);
    const int total = flagLanded(arrived, landed);
    return whole ? total : -1;
  });
  api::trace("[%d-%d-%d]DownloadFiles return %d", handle, result);
  return result;
}

}  // extern "C"
