// A logged-in session to the phone, owned, with results as values. A call
// the phone refused comes back with the reason its state shows
// (diagnosis.hpp), a local mistake as local, before anything is sent. Part
// of korvex.hpp.
#ifndef KORVEX_SESSION_HPP
#define KORVEX_SESSION_HPP

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "korvex.h"
#include "korvex/diagnosis.hpp"
#include "korvex/errors.hpp"
#include "korvex/local_checks.hpp"
#include "korvex/paths.hpp"
#include "korvex/session_facts.hpp"
#include "korvex/transfer.hpp"
#include "korvex/tree.hpp"

namespace korvex {

// What a listed entry is.
enum class FileKind { file, directory };

// A logged-in session, owned: move-only, and the destructor disconnects it
// (its background copies, as Transfer objects, stay usable). borrow() wraps
// a handle that the host owns elsewhere, without ending it.
class Session {
 public:
  struct State {
    bool connected = false;
    std::string address;
    std::string device;
  };

  static Result<Session> connect(const std::string& address, const std::string& password) {
    LoginEnd ignored = LoginEnd::closed;
    return connect(address, password, ignored);
  }
  // The same; after login_failed, `ended` says how the login ended.
  static Result<Session> connect(const std::string& address, const std::string& password, LoginEnd& ended) {
    const auto start = std::chrono::steady_clock::now();
    int error = 0;
    SessionHandle handle = Connect(address.c_str(), password.c_str(), &error);
    const bool quick = std::chrono::steady_clock::now() - start < kAnswerTimeout;
    ended = quick ? LoginEnd::closed : LoginEnd::not_answered;
    if (!handle) return error == 2 ? Errc::login_failed : Errc::connect_failed;
    return Session(handle, address, true);
  }
  // `address` as given to Connect: ConnectionState copies it back whole.
  static Session borrow(SessionHandle handle, std::string address) {
    return Session(handle, std::move(address), false);
  }

  Session() = default;
  Session(Session&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), address_(std::move(other.address_)),
        owned_(std::exchange(other.owned_, false)) {}
  Session& operator=(Session&& other) noexcept {
    if (this != &other) {
      disconnect();
      handle_ = std::exchange(other.handle_, nullptr);
      address_ = std::move(other.address_);
      owned_ = std::exchange(other.owned_, false);
    }
    return *this;
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { disconnect(); }

  SessionHandle handle() const { return handle_; }
  // Ends an owned session now; a borrowed one is only let go. true when it
  // was still connected. The object is empty afterwards. Must not overlap
  // another call on this object: it frees what they use (see interrupt()).
  bool disconnect() {
    const SessionHandle handle = std::exchange(handle_, nullptr);
    const bool owned = std::exchange(owned_, false);
    return handle != nullptr && owned && Disconnect(handle);
  }

  // The one call that may overlap any other on this session, from any
  // thread: closes the connection, so a call blocked on it returns at once
  // with connection_lost, and every later call fails the same way. The
  // object stays valid; its owner still disconnects it. Background copies
  // stop as on a lost link.
  void interrupt() const {
    if (handle_) CloseConnection(handle_);
  }

  // No network traffic. An empty session reads as not connected.
  State state() const {
    State s;
    if (!handle_) return s;
    char connected = 0;
    std::string address(address_.size() + 1, '\0');
    char name[KORVEX_DEVICE_NAME_SIZE] = {};
    ConnectionState(handle_, &connected, address.data(), name);
    name[sizeof name - 1] = '\0';
    s.connected = connected != 0;
    s.address = address.c_str();
    s.device = name;
    return s;
  }
  bool connected() const { return state().connected; }

  Status rename(std::string_view source, std::string_view dest) const {
    if (source.size() > kMaxPath || dest.size() > kMaxRenameDest) return Errc::path_too_long;
    if (Rename(handle_, std::string(source).c_str(), std::string(dest).c_str())) return {};
    return why(Operation::rename, source, dest);
  }
  Status remove(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    if (DeletePhoneFile(handle_, std::string(path).c_str())) return {};
    return why(Operation::remove, path);
  }
  Status remove_directory(std::string_view path, bool recursive = false) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    if (DeleteDirectory(handle_, std::string(path).c_str(), recursive)) return {};
    return why(recursive ? Operation::access : Operation::remove_directory, path);
  }
  Status make_directory(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    if (CreatePhoneDirectory(handle_, std::string(path).c_str())) return {};
    return why(Operation::make_directory, path);
  }
  // -1 keeps the owner or the group as it is.
  Status chown(std::string_view path, int owner, int group) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    std::string mutablePath(path);  // the export takes a non-const char*
    if (Chown(reinterpret_cast<std::uintptr_t>(handle_), mutablePath.data(), owner, group)) return {};
    return why(Operation::chown, path);
  }

  // True only when the phone said yes; see Answer.
  Answer exists(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return answer(Exists(handle_, std::string(path).c_str()));
  }
  Answer is_directory(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return answer(IsDirectory(handle_, std::string(path).c_str()));
  }

  // A file of exactly 4 GiB - 1 bytes reads as refused: its size and the
  // failure result share their bits.
  Result<std::uint32_t> file_size(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    const int value = FileSize(handle_, std::string(path).c_str());
    if (value == -1) return why(Operation::download, path);
    return word(value);
  }
  // The phone's free-space word, in the phone's unit (KiB for korvexd).
  Result<std::uint32_t> free_space(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    const int value = GetSpaceSize(handle_, std::string(path).c_str());
    if (value == -1) return why(Operation::access, path);
    return word(value);
  }

  // The names in a phone directory, in the phone's order. Like a local
  // listing, neither has "." or "..": a walk would go round in them.
  Result<std::vector<std::string>> files(std::string_view path) const { return names(&GetFiles, path); }
  Result<std::vector<std::string>> directories(std::string_view path) const { return names(&GetDirectories, path); }

  struct Entry {
    std::string name;
    bool is_directory = false;  // kind == FileKind::directory, for older callers
    std::uint32_t size = 0;     // 0 for a directory, and where !sized
    FileKind kind = FileKind::file;
    bool sized = true;          // false: a listing() that fell back to names alone
  };
  // A directory's entries with their sizes in a few round trips: its
  // directories, then its files (one that went away before its size was
  // asked is left out), each in the phone's order; never "." or "..".
  Result<std::vector<Entry>> entries(std::string_view path) const {
    Result<std::vector<Entry>> listed = batch(path);
    if (listed || listed.error() != Errc::refused) return listed;
    return why(Operation::list, path);
  }

  // entries(), or where the phone refuses the batch (a file's full path
  // longer than it takes refuses it whole) the two plain listings, the
  // files unsized: the listing every host shows.
  Result<std::vector<Entry>> listing(std::string_view path) const {
    Result<std::vector<Entry>> listed = batch(path);
    if (listed || listed.error() != Errc::refused) return listed;
    Result<std::vector<std::string>> dirs = directories(path);
    if (!dirs) return dirs.reason();
    Result<std::vector<std::string>> plain = files(path);
    if (!plain) return plain.reason();
    std::vector<Entry> entries;
    entries.reserve(dirs->size() + plain->size());
    for (std::string& name : *dirs) entries.push_back({std::move(name), true, 0, FileKind::directory, true});
    for (std::string& name : *plain) entries.push_back({std::move(name), false, 0, FileKind::file, false});
    return entries;
  }

  // One directory of a walk: its path and its entries.
  struct Directory {
    std::string path;
    std::vector<Entry> entries;
  };
  // Every directory under `path`, `path` first, each with its entries as
  // the walk of tree.hpp reads them, depth first in the phone's order. A
  // listing that fails anywhere (a directory removed meanwhile, a path grown
  // past kMaxPath) ends the walk with its error. A subdirectory named "." or
  // ".." is listed but not entered.
  Result<std::vector<Directory>> walk(std::string_view path) const {
    class Collector : public TreeVisitor {
     public:
      explicit Collector(std::string_view root) : walked{{std::string(root), {}}} {}
      bool unlisted(const std::string&, std::size_t, const Reason& why) override {
        failure = why;
        return false;
      }
      bool enter(const TreeEntry& directory) override {
        add(directory);
        const bool component = directory.name != "." && directory.name != "..";
        if (component) {
          // Depth first: what is open at each shallower depth is an ancestor.
          open.resize(directory.depth + 1);
          open.push_back(walked.size());
          walked.push_back({directory.path(), {}});
        }
        return component;
      }
      void file(const TreeEntry& file) override { add(file); }

      std::vector<Directory> walked;
      std::vector<std::size_t> open{0};  // the directory listed at each depth
      std::optional<Reason> failure;

     private:
      void add(const TreeEntry& entry) {
        const bool sized = entry.is_directory || entry.size >= 0;
        walked[open[entry.depth]].entries.push_back(
            {entry.name, entry.is_directory, sized && !entry.is_directory ? static_cast<std::uint32_t>(entry.size) : 0,
             entry.is_directory ? FileKind::directory : FileKind::file, sized});
      }
    } collector(path);
    walk_tree(*this, path, collector);
    if (collector.failure) return *collector.failure;
    return std::move(collector.walked);
  }

  // The size of each path in one pipelined pass, -1 where the phone refused
  // it (missing); the sizes are the phone's 32-bit words.
  Result<std::vector<std::int64_t>> sizes(const std::vector<std::string>& paths) const {
    const Result<std::vector<const char*>> texts = pathTexts(paths);
    if (!texts) return texts.error();
    std::vector<long long> found(paths.size(), -1);
    if (GetSizes(handle_, texts->data(), static_cast<int>(texts->size()), found.data()) < 0) return lostOr();
    return std::vector<std::int64_t>(found.begin(), found.end());
  }

  // What each path is, in one pipelined pass (three questions a path, all
  // sent before the answers are read): about one round trip for any number.
  Result<std::vector<PathStatus>> statuses(const std::vector<std::string>& paths) const {
    const Result<std::vector<const char*>> texts = pathTexts(paths);
    if (!texts) return texts.error();
    std::vector<int> kinds(paths.size(), -1);
    std::vector<long long> found(paths.size(), -1);
    if (GetKinds(handle_, texts->data(), static_cast<int>(texts->size()), kinds.data(), found.data()) < 0) {
      return lostOr();
    }
    std::vector<PathStatus> statuses(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      switch (kinds[i]) {
        case KORVEX_KIND_FILE: statuses[i] = {PathKind::file, static_cast<std::uint32_t>(found[i])}; break;
        case KORVEX_KIND_DIRECTORY: statuses[i].kind = PathKind::directory; break;
        case KORVEX_KIND_UNSIZED: statuses[i].kind = PathKind::unsized; break;
        default: break;
      }
    }
    return statuses;
  }
  // What one path is, in one round trip whatever it turns out to be.
  Result<PathStatus> status(std::string_view path) const {
    Result<std::vector<PathStatus>> one = statuses({std::string(path)});
    if (!one) return one.error();
    return one->front();
  }

  // Synchronous copies on the session's connection. Local paths are text in
  // the native narrow encoding or std::filesystem::path (see LocalPath). The
  // local side is checked first: a local mistake is local_file with the
  // system's code (code() compares equal to std::errc::...), nothing is
  // sent, and the session goes on. A download into an existing folder is
  // is_a_directory: a host whose rules copy into it names the file.
  Status upload(const LocalPath& local, std::string_view remote) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    if (const std::error_code problem = upload_source_problem(local.path())) return Reason(problem);
    if (CopyToPhone(handle_, local.c_str(), std::string(remote).c_str())) return {};
    return uploadRefusal(local, remote);
  }
  Status download(std::string_view remote, const LocalPath& local) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    if (const std::error_code problem = download_destination_problem(local.path())) return Reason(problem);
    if (DownFromPhone(handle_, std::string(remote).c_str(), local.c_str())) return {};
    return why(Operation::download, remote);
  }

  // Several uploads back to back on the session's connection: each file's
  // confirmation travels with the next file's request, so a file costs one
  // round trip plus its bytes. One Status a file, in order: ok only when
  // the phone confirmed its exact size. A local file that cannot be read
  // fails alone (local_file, before anything is sent); once the exchange
  // broke off, the rest are connection_lost.
  std::vector<Status> upload_files(const std::vector<std::pair<LocalPath, std::string>>& files) const {
    return series(
        files, &UploadFiles,
        [](const auto& file) { return copyProblem(file.second, upload_source_problem(file.first.path())); },
        [this](const auto& file) { return uploadRefusal(file.first, file.second); });
  }
  // Several downloads on the session's connection with their requests
  // pipelined (up to 8 unanswered), so a run of small files costs about one
  // round trip plus their bytes. One Status a file, in order: ok only when
  // the local file holds the whole of it. Each destination is checked
  // first, as download() checks it, and fails alone; a file that did not
  // land leaves its destination as it was; once the exchange broke off,
  // the rest are connection_lost.
  std::vector<Status> download_files(const std::vector<std::pair<std::string, LocalPath>>& files) const {
    return series(
        files, &DownloadFiles,
        [](const auto& file) { return copyProblem(file.first, download_destination_problem(file.second.path())); },
        [this](const auto& file) { return why(Operation::download, file.first); });
  }

  // Background copies on connections of their own.
  Result<Transfer> start_upload(const LocalPath& local, std::string_view remote) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    if (const std::error_code problem = upload_source_problem(local.path())) return Reason(problem);
    TransferHandle handle = CopyToPhoneAsync(handle_, local.c_str(), std::string(remote).c_str());
    if (!handle) return connected() ? Errc::local_file : Errc::connection_lost;
    return Transfer(handle);
  }
  Result<Transfer> start_download(std::string_view remote, const LocalPath& local) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    if (const std::error_code problem = download_destination_problem(local.path())) return Reason(problem);
    TransferHandle handle = DownFromPhoneAsync(handle_, std::string(remote).c_str(), local.c_str());
    if (!handle) return Errc::connection_lost;
    return Transfer(handle);
  }

  // The phone does not confirm these; the session notices it going away.
  void shutdown() const { Shutdown(handle_); }
  void reboot() const { Reboot(handle_); }
  void restart() const { Restart(handle_); }

  // Why the phone refused `operation` on `path` (and a rename's `second`),
  // asked of its state now: diagnosis.hpp. connection_lost when the
  // session's connection is closed, or closes while asking; `upload_size`
  // lets an upload's rules weigh the free space.
  Errc why(Operation operation, std::string_view path, std::string_view second = {},
           std::optional<std::uint64_t> upload_size = std::nullopt) const {
    if (!connected()) return Errc::connection_lost;
    SessionFacts<Session> facts(*this, path, second, upload_size);
    const std::optional<Errc> found = diagnosis::diagnose(operation, facts);
    if (!connected()) return Errc::connection_lost;
    return found.value_or(Errc::refused);
  }

 private:
  template <typename> friend class SessionFacts;

  Session(SessionHandle handle, std::string address, bool owned)
      : handle_(handle), address_(std::move(address)), owned_(owned) {}

  Status uploadRefusal(const LocalPath& local, std::string_view remote) const {
    std::error_code ignored;
    const std::uintmax_t size = std::filesystem::file_size(local.path(), ignored);
    return why(Operation::upload, remote, {}, ignored ? std::nullopt : std::optional<std::uint64_t>(size));
  }

  // What stops one file of a series before anything is sent for it.
  static Status copyProblem(std::string_view remote, std::error_code local) {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    if (local) return Reason(local);
    return {};
  }
  // A series export over the files that pass `problem`, in one call, their
  // two paths in the pair's order; each that did not land is diagnosed by
  // `refusal`, or is connection_lost once the exchange broke off.
  using SeriesExport = int (*)(SessionHandle, const char* const*, const char* const*, int, int*);
  template <typename First, typename Second, typename Problem, typename Refusal>
  std::vector<Status> series(const std::vector<std::pair<First, Second>>& files, SeriesExport call, Problem problem,
                             Refusal refusal) const {
    std::vector<Status> outcome(files.size());
    std::vector<std::size_t> sent;
    std::vector<const char*> firsts, seconds;
    for (std::size_t i = 0; i < files.size(); ++i) {
      outcome[i] = problem(files[i]);
      if (!outcome[i]) continue;
      sent.push_back(i);
      firsts.push_back(files[i].first.c_str());
      seconds.push_back(files[i].second.c_str());
    }
    if (sent.empty()) return outcome;
    std::vector<int> landed(sent.size(), 0);
    const int count = call(handle_, firsts.data(), seconds.data(), static_cast<int>(sent.size()), landed.data());
    const bool broke = count < 0 && !connected();
    for (std::size_t k = 0; k < sent.size(); ++k) {
      if (!landed[k]) outcome[sent[k]] = broke ? Status(Errc::connection_lost) : refusal(files[sent[k]]);
    }
    return outcome;
  }

  Errc lostOr(Errc otherwise = Errc::refused) const { return connected() ? otherwise : Errc::connection_lost; }

  Answer answer(int value) const {
    if (value < 0) return lostOr();
    return value == 1;
  }

  // The C strings of a batch's paths, once each is known to fit a request.
  static Result<std::vector<const char*>> pathTexts(const std::vector<std::string>& paths) {
    std::vector<const char*> texts;
    texts.reserve(paths.size());
    for (const std::string& path : paths) {
      if (path.size() > kMaxPath) return Errc::path_too_long;
      texts.push_back(path.c_str());
    }
    return texts;
  }

  Result<std::uint32_t> word(int value) const {
    // 0 is also what a request that could not be sent yields.
    if (value == 0 && !connected()) return Errc::connection_lost;
    return static_cast<std::uint32_t>(value);
  }

  // GetEntries as it answered: refused (undiagnosed) or connection_lost.
  Result<std::vector<Entry>> batch(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    KorvexEntry* block = nullptr;
    const int count = GetEntries(handle_, std::string(path).c_str(), &block);
    if (count < 0) return lostOr();
    std::vector<Entry> listed;
    listed.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      const bool directory = block[i].isDirectory != 0;
      listed.push_back({block[i].name, directory, block[i].size, directory ? FileKind::directory : FileKind::file});
    }
    FreeEntries(block);
    return listed;
  }

  using Lister = int (*)(SessionHandle, const char*, char**);
  Result<std::vector<std::string>> names(Lister lister, std::string_view path) const {
    Result<std::vector<std::string>> listed = rawNames(lister, path);
    if (listed || listed.error() != Errc::refused) return listed;
    return why(Operation::list, path);
  }
  Result<std::vector<std::string>> rawNames(Lister lister, std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    char* buffer = nullptr;
    const int length = lister(handle_, std::string(path).c_str(), &buffer);
    if (length < 0) return lostOr();
    std::vector<std::string> names;
    if (length == 0) return names;
    const std::string text(buffer, static_cast<std::size_t>(length));
    FreeBuffer(buffer);
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t slash = text.find('/', start);
      if (slash == std::string::npos) slash = text.size();
      const std::string_view name(text.data() + start, slash - start);
      if (!name.empty() && name != "." && name != "..") names.emplace_back(name);
      start = slash + 1;
    }
    return names;
  }

  SessionHandle handle_ = nullptr;
  std::string address_;
  bool owned_ = false;
};

}  // namespace korvex

#endif  // KORVEX_SESSION_HPP
