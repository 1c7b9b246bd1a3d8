// korvex for C++ hosts: owning types and results as values over the C
// exports of korvex.h. Header-only, C++17, no exceptions required (define
// KORVEX_HPP_THROWING before including it for value_or_throw()).
//
//   auto phone = korvex::Session::connect("192.168.1.20", "secret");
//   if (!phone) return static_cast<int>(phone.error());
//   for (const std::string& name : phone->files("/photos").value_or({})) ...
//
// Every result is [[nodiscard]]: a Result<T>, a Status or an Answer that is
// dropped is a warning. Errc converts to std::error_code (korvex::category()).
// Phone paths are std::string_view, local paths std::filesystem::path; both
// take string literals and std::string as they are.
//
// Sizes travel as unsigned 32-bit words, so they are std::uint32_t here:
// files up to 4 GiB - 1 read correctly, where the C results turn negative
// from 2 GiB on.
//
// Threads:
// - A Session may be used from several threads at once: the library takes
//   the session's lock for each whole exchange, so calls on one session run
//   one after another (a long synchronous copy holds the others back; open
//   several sessions to work in parallel). The session's keep-alive takes the
//   same lock.
// - disconnect(), assignment and destruction of a Session must not overlap
//   any other call on it: they free the handle the others use. The same holds
//   for a handle that a borrowed Session wraps and that its owner ends.
// - Transfer::progress() and wait() take no lock and may be called from
//   several threads; they stay safe after the session that started the copy
//   has ended, which stops it (it then reads as failed). cancel(), assignment
//   and destruction of a Transfer free its handle and must not overlap any
//   other call on it: keep those on the thread that owns it.
// - Results, answers, errors and the path helpers are plain values.
#ifndef KORVEX_HPP
#define KORVEX_HPP

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "korvex.h"

namespace korvex {

enum class Errc {
  ok = 0,
  connect_failed,   // nothing accepted the TCP connection
  login_failed,     // the password was refused, or no answer in time
  refused,          // the phone said no; the session is still usable
  connection_lost,  // the session's connection is closed: connect again
  path_too_long,    // refused before anything was sent
  local_file,       // a local file could not be opened
  copy_failed,      // a background copy failed or was cancelled
  timed_out,        // a wait ran out of time; the copy still runs
};

}  // namespace korvex

namespace std {
template <>
struct is_error_code_enum<korvex::Errc> : true_type {};
}  // namespace std

namespace korvex {

inline const char* message(Errc code) {
  switch (code) {
    case Errc::ok: return "ok";
    case Errc::connect_failed: return "cannot connect";
    case Errc::login_failed: return "login refused";
    case Errc::refused: return "refused by the phone";
    case Errc::connection_lost: return "connection lost";
    case Errc::path_too_long: return "path too long";
    case Errc::local_file: return "local file cannot be opened";
    case Errc::copy_failed: return "copy failed";
    case Errc::timed_out: return "timed out";
  }
  return "unknown error";
}

// Errc as a std::error_code. Where a portable condition says the same, the
// code compares equal to it: connect_failed == std::errc::connection_refused,
// login_failed == permission_denied, connection_lost == connection_aborted,
// path_too_long == filename_too_long, timed_out == std::errc::timed_out.
class ErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "korvex"; }
  std::string message(int value) const override { return korvex::message(static_cast<Errc>(value)); }
  std::error_condition default_error_condition(int value) const noexcept override {
    switch (static_cast<Errc>(value)) {
      case Errc::connect_failed: return std::errc::connection_refused;
      case Errc::login_failed: return std::errc::permission_denied;
      case Errc::connection_lost: return std::errc::connection_aborted;
      case Errc::path_too_long: return std::errc::filename_too_long;
      case Errc::timed_out: return std::errc::timed_out;
      default: return std::error_condition(value, *this);
    }
  }
};

inline const std::error_category& category() noexcept {
  static const ErrorCategory instance;
  return instance;
}
inline std::error_code make_error_code(Errc code) noexcept { return {static_cast<int>(code), category()}; }

#ifdef KORVEX_HPP_THROWING
// What value_or_throw() and or_throw() throw: code() is the std::error_code,
// errc() the Errc it holds.
class Error : public std::system_error {
 public:
  explicit Error(Errc code) : std::system_error(make_error_code(code)) {}
  Errc errc() const noexcept { return static_cast<Errc>(code().value()); }
};
#endif

// A value or the reason there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Errc error) : error_(error) {}          // NOLINT
  explicit operator bool() const { return error_ == Errc::ok; }
  bool ok() const { return error_ == Errc::ok; }
  Errc error() const { return error_; }
  // Only when ok().
  T& value() & { return value_; }
  const T& value() const& { return value_; }
  T&& value() && { return std::move(value_); }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }
  T& operator*() & { return value_; }
  const T& operator*() const& { return value_; }
  T value_or(T fallback) const& { return ok() ? value_ : std::move(fallback); }
#ifdef KORVEX_HPP_THROWING
  T value_or_throw() && {
    if (!ok()) throw Error(error_);
    return std::move(value_);
  }
#endif

 private:
  T value_{};
  Errc error_ = Errc::ok;
};

// Success or the reason for failure.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Errc error) : error_(error) {}  // NOLINT
  explicit operator bool() const { return error_ == Errc::ok; }
  bool ok() const { return error_ == Errc::ok; }
  Errc error() const { return error_; }
#ifdef KORVEX_HPP_THROWING
  void or_throw() const {
    if (!ok()) throw Error(error_);
  }
#endif

 private:
  Errc error_ = Errc::ok;
};

// The answer to a yes-or-no question (exists, is_directory). It is true only
// when the phone said yes: a question that could not be answered is false
// like a "no", and ok() and error() tell the two apart.
//   if (phone.exists(p)) ...                    // there
//   if (auto a = phone.exists(p); a.no()) ...   // surely not there
class [[nodiscard]] Answer {
 public:
  Answer(bool yes) : yes_(yes) {}          // NOLINT: implicit by design
  Answer(Errc error) : error_(error) {}    // NOLINT
  explicit operator bool() const { return yes(); }
  bool yes() const { return ok() && yes_; }
  bool no() const { return ok() && !yes_; }
  bool ok() const { return error_ == Errc::ok; }
  Errc error() const { return error_; }
  // The answer, false when there is none.
  bool value() const { return yes(); }
#ifdef KORVEX_HPP_THROWING
  bool value_or_throw() const {
    if (!ok()) throw Error(error_);
    return yes_;
  }
#endif

 private:
  bool yes_ = false;
  Errc error_ = Errc::ok;
};

// Longest phone paths the library sends (a rename's destination: 254), and
// the longest password it logs in with.
inline constexpr std::size_t kMaxPath = KORVEX_MAX_PATH;
inline constexpr std::size_t kMaxRenameDest = KORVEX_MAX_RENAME_DEST;
inline constexpr std::size_t kMaxPassword = KORVEX_MAX_PASSWORD;

// A local path as the library takes it: text in the native narrow encoding
// (the ANSI code page on Windows), passed on unchanged, or a
// std::filesystem::path, narrowed with path::string(). Text never goes
// through a path on its way, since a round trip through the wide form need
// not give the same bytes back on Windows.
class LocalPath {
 public:
  LocalPath(const char* text) : text_(text) {}                        // NOLINT: implicit by design
  LocalPath(std::string text) : text_(std::move(text)) {}            // NOLINT
  LocalPath(std::string_view text) : text_(text) {}                  // NOLINT
  LocalPath(const std::filesystem::path& path) : text_(path.string()) {}  // NOLINT
  const char* c_str() const { return text_.c_str(); }

 private:
  std::string text_;
};

// Which file system a local name is checked for.
enum class NameRules { posix, windows };
#ifdef _WIN32
inline constexpr NameRules kHostNameRules = NameRules::windows;
#else
inline constexpr NameRules kHostNameRules = NameRules::posix;
#endif

// Whether a name from a listing can be used as one component of a local path
// without reaching outside the folder it is put in: a phone may send "..",
// "a/b" or "..\x". Everywhere: not empty, "." or "..", and no '/', '\',
// NUL or control byte. Windows also refuses :*?"<>|, a trailing dot or space
// and the device names (CON, NUL, COM1... with any extension). Check the
// name in the encoding the file will be opened with, after any conversion.
inline bool is_plain_name(std::string_view name, NameRules rules = kHostNameRules) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\') return false;
    if (rules == NameRules::windows && std::string_view(":*?\"<>|").find(c) != std::string_view::npos) return false;
  }
  if (rules == NameRules::posix) return true;
  if (name.back() == '.' || name.back() == ' ') return false;
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (stem == device) return false;
  }
  const bool numbered = stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
                        stem[3] >= '0' && stem[3] <= '9';
  return !numbered;
}

// Phone paths are '/'-separated text. These split and join them without
// asking the phone.
// `name` inside `directory` ("" + "a" -> "a", "/" + "a" -> "/a").
inline std::string join_path(std::string_view directory, std::string_view name) {
  std::string joined(directory);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  return joined.append(name);
}
// The directory part ("/a/b" -> "/a", "/a" -> "/", "a" -> "").
inline std::string parent_path(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) return {};
  return slash == 0 ? "/" : std::string(path.substr(0, slash));
}
// The last component, trailing slashes ignored ("/a/b/" -> "b", "/" -> "").
inline std::string base_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.find_last_of('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// Where a background copy stands.
struct Progress {
  enum class Phase { starting, running, done, failed };
  Phase phase = Phase::starting;
  std::uint32_t done = 0;   // bytes moved
  std::uint32_t total = 0;  // size of the file; known once running

  // The library's progress values -1 (not started) and -2 (failed) share
  // their bits with 4 GiB - 1 and 4 GiB - 2: copies of those two exact sizes
  // never read as done.
  static Progress decode(int value, int total) {
    Progress p;
    p.total = static_cast<std::uint32_t>(total);
    if (value == -1) return p;
    if (value == -2) {
      p.phase = Phase::failed;
      return p;
    }
    p.done = static_cast<std::uint32_t>(value);
    p.phase = p.done == p.total ? Phase::done : Phase::running;
    return p;
  }
};

// One background copy on a connection of its own. Move-only; the destructor
// cancels a copy that still runs and frees the handle.
class Transfer {
 public:
  Transfer() = default;
  explicit Transfer(TransferHandle handle) : handle_(handle) {}
  Transfer(Transfer&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  Transfer& operator=(Transfer&& other) noexcept {
    if (this != &other) {
      cancel();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() { cancel(); }

  bool valid() const { return handle_ != nullptr; }
  TransferHandle handle() const { return handle_; }

  // Never blocks. After cancel() it reads as failed.
  Progress progress() const {
    if (!handle_) {
      Progress p;
      p.phase = Progress::Phase::failed;
      return p;
    }
    int total = 0, progress = 0;
    const int value = GetTransProgress(handle_, &total, &progress);
    return Progress::decode(value, total);
  }

  // Polls until the copy is done (ok), failed (copy_failed) or the time is
  // up (timed_out: the copy goes on). A copy whose own connection or login
  // fails stays "starting" for ever: give a timeout. An upload is done only
  // once the phone has confirmed the size it stored.
  Status wait(std::chrono::milliseconds timeout = std::chrono::milliseconds::max(),
              std::chrono::milliseconds poll = std::chrono::milliseconds(10)) const {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      const Progress p = progress();
      if (p.phase == Progress::Phase::done) return {};
      if (p.phase == Progress::Phase::failed) return Errc::copy_failed;
      if (timeout != std::chrono::milliseconds::max() && std::chrono::steady_clock::now() - start >= timeout) {
        return Errc::timed_out;
      }
      std::this_thread::sleep_for(poll);
    }
  }

  // Stops the copy if it still runs, waits for its thread and frees the
  // handle. A cancelled download leaves its destination as it was.
  void cancel() {
    if (handle_) CloseTransHandle(std::exchange(handle_, nullptr));
  }

 private:
  TransferHandle handle_ = nullptr;
};

// What a listed entry is.
enum class FileKind { file, directory };

// What a phone path is, as Session::status finds it. unsized: there and not
// a directory, but the phone gives no size for it (4 GiB or more).
enum class PathKind { missing, file, directory, unsized };
struct PathStatus {
  PathKind kind = PathKind::missing;
  std::uint32_t size = 0;  // a file's; 0 otherwise
};

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
    int error = 0;
    SessionHandle handle = Connect(address.c_str(), password.c_str(), &error);
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
  // was still connected. The object is empty afterwards.
  bool disconnect() {
    const SessionHandle handle = std::exchange(handle_, nullptr);
    const bool owned = std::exchange(owned_, false);
    return handle != nullptr && owned && Disconnect(handle);
  }

  // No network traffic.
  State state() const {
    State s;
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
    return check(Rename(handle_, std::string(source).c_str(), std::string(dest).c_str()));
  }
  Status remove(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return check(DeletePhoneFile(handle_, std::string(path).c_str()));
  }
  Status remove_directory(std::string_view path, bool recursive = false) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return check(DeleteDirectory(handle_, std::string(path).c_str(), recursive));
  }
  Status make_directory(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return check(CreatePhoneDirectory(handle_, std::string(path).c_str()));
  }
  // -1 keeps the owner or the group as it is.
  Status chown(std::string_view path, int owner, int group) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    std::string mutablePath(path);  // the export takes a non-const char*
    return check(Chown(reinterpret_cast<std::uintptr_t>(handle_), mutablePath.data(), owner, group));
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
    return word(FileSize(handle_, std::string(path).c_str()));
  }
  // The phone's free-space word, in the phone's unit (KiB for korvexd).
  Result<std::uint32_t> free_space(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return word(GetSpaceSize(handle_, std::string(path).c_str()));
  }

  // The names in a phone directory, in the phone's order. Like a local
  // listing, neither has "." or "..": a walk would go round in them.
  Result<std::vector<std::string>> files(std::string_view path) const { return list(&GetFiles, path); }
  Result<std::vector<std::string>> directories(std::string_view path) const { return list(&GetDirectories, path); }

  struct Entry {
    std::string name;
    bool is_directory = false;  // kind == FileKind::directory, for older callers
    std::uint32_t size = 0;     // 0 for a directory
    FileKind kind = FileKind::file;
  };
  // A directory's entries with their sizes in a few round trips: its
  // directories, then its files (one that went away before its size was
  // asked is left out), each in the phone's order; never "." or "..".
  Result<std::vector<Entry>> entries(std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    KorvexEntry* block = nullptr;
    const int count = GetEntries(handle_, std::string(path).c_str(), &block);
    if (count < 0) return failure();
    std::vector<Entry> listed;
    listed.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      const bool directory = block[i].isDirectory != 0;
      listed.push_back({block[i].name, directory, block[i].size, directory ? FileKind::directory : FileKind::file});
    }
    FreeEntries(block);
    return listed;
  }

  // One directory of a walk: its path and its entries.
  struct Directory {
    std::string path;
    std::vector<Entry> entries;
  };
  // Every directory under `path`, `path` first, each listed with entries()
  // before its subdirectories, depth first in the phone's order. A listing
  // that fails anywhere (a directory removed meanwhile, a path grown past
  // kMaxPath) ends the walk with its error. A subdirectory whose name is not
  // one component ("", ".", "..", or with a '/') is listed but not entered.
  Result<std::vector<Directory>> walk(std::string_view path) const {
    std::vector<Directory> walked;
    std::vector<std::string> pending{std::string(path)};
    while (!pending.empty()) {
      std::string directory = std::move(pending.back());
      pending.pop_back();
      Result<std::vector<Entry>> listed = entries(directory);
      if (!listed) return listed.error();
      const std::size_t first = pending.size();
      for (const Entry& entry : *listed) {
        const std::string_view name = entry.name;
        const bool component = !name.empty() && name != "." && name != ".." && name.find('/') == name.npos;
        if (entry.kind == FileKind::directory && component) pending.push_back(join_path(directory, name));
      }
      // Taken from the back: reversed, the first subdirectory comes next.
      std::reverse(pending.begin() + static_cast<std::ptrdiff_t>(first), pending.end());
      walked.push_back({std::move(directory), std::move(listed).value()});
    }
    return walked;
  }

  // The size of each path in one pipelined pass, -1 where the phone refused
  // it (missing); the sizes are the phone's 32-bit words.
  Result<std::vector<std::int64_t>> sizes(const std::vector<std::string>& paths) const {
    const Result<std::vector<const char*>> texts = pathTexts(paths);
    if (!texts) return texts.error();
    std::vector<long long> found(paths.size(), -1);
    if (GetSizes(handle_, texts->data(), static_cast<int>(texts->size()), found.data()) < 0) return failure();
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
      return failure();
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
  // the native narrow encoding or std::filesystem::path (see LocalPath).
  Status upload(const LocalPath& local, std::string_view remote) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    return check(CopyToPhone(handle_, local.c_str(), std::string(remote).c_str()));
  }
  Status download(std::string_view remote, const LocalPath& local) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    return check(DownFromPhone(handle_, std::string(remote).c_str(), local.c_str()));
  }

  // Background copies on connections of their own.
  Result<Transfer> start_upload(const LocalPath& local, std::string_view remote) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    TransferHandle handle = CopyToPhoneAsync(handle_, local.c_str(), std::string(remote).c_str());
    if (!handle) return connected() ? Errc::local_file : Errc::connection_lost;
    return Transfer(handle);
  }
  Result<Transfer> start_download(std::string_view remote, const LocalPath& local) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    TransferHandle handle = DownFromPhoneAsync(handle_, std::string(remote).c_str(), local.c_str());
    if (!handle) return Errc::connection_lost;
    return Transfer(handle);
  }

  // The phone does not confirm these; the session notices it going away.
  void shutdown() const { Shutdown(handle_); }
  void reboot() const { Reboot(handle_); }
  void restart() const { Restart(handle_); }

 private:
  Session(SessionHandle handle, std::string address, bool owned)
      : handle_(handle), address_(std::move(address)), owned_(owned) {}

  // The library answers only yes or no: a dead connection tells the two
  // failures apart.
  Errc failure() const { return connected() ? Errc::refused : Errc::connection_lost; }
  Status check(bool done) const { return done ? Status() : Status(failure()); }

  Answer answer(int value) const {
    if (value < 0) return failure();
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
    if (value == -1) return failure();
    // 0 is also what a request that could not be sent yields.
    if (value == 0 && !connected()) return Errc::connection_lost;
    return static_cast<std::uint32_t>(value);
  }

  using Lister = int (*)(SessionHandle, const char*, char**);
  Result<std::vector<std::string>> list(Lister lister, std::string_view path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    char* buffer = nullptr;
    const int length = lister(handle_, std::string(path).c_str(), &buffer);
    if (length < 0) return failure();
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

// Turns the library's log on (level 0..8; 3 errors ... 7 trace) to `path`,
// or to standard error when path is empty. true when the file was opened.
inline bool enable_log(unsigned level, const std::string& path = {}) {
  return EnableLog(true, level, path.empty() ? nullptr : path.c_str()) == 1;
}
inline void disable_log() { EnableLog(false, 0, nullptr); }

}  // namespace korvex

#endif  // KORVEX_HPP
