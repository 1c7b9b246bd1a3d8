// korvex for C++ hosts: owning types and results as values over the C
// exports of korvex.h. Header-only, C++17, no exceptions required (define
// KORVEX_HPP_THROWING before including it for value_or_throw()).
//
//   auto phone = korvex::Session::connect("192.168.1.20", "secret");
//   if (!phone) return static_cast<int>(phone.error());
//   for (const std::string& name : phone->files("/photos").value_or({})) ...
//
// Sizes travel as unsigned 32-bit words, so they are std::uint32_t here:
// files up to 4 GiB - 1 read correctly, where the C results turn negative
// from 2 GiB on.
#ifndef KORVEX_HPP
#define KORVEX_HPP

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#ifdef KORVEX_HPP_THROWING
#include <stdexcept>
#endif

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

#ifdef KORVEX_HPP_THROWING
class Error : public std::runtime_error {
 public:
  explicit Error(Errc code) : std::runtime_error(message(code)), code_(code) {}
  Errc code() const noexcept { return code_; }

 private:
  Errc code_;
};
#endif

// A value or the reason there is none.
template <typename T>
class Result {
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
class Status {
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

// Longest phone paths the library sends (a rename's destination: 254), and
// the longest password it logs in with.
inline constexpr std::size_t kMaxPath = KORVEX_MAX_PATH;
inline constexpr std::size_t kMaxRenameDest = KORVEX_MAX_RENAME_DEST;
inline constexpr std::size_t kMaxPassword = KORVEX_MAX_PASSWORD;

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
inline std::string join_path(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  return directory.back() == '/' ? directory + name : directory + "/" + name;
}
// The directory part ("/a/b" -> "/a", "/a" -> "/", "a" -> "").
inline std::string parent_path(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}
// The last component, trailing slashes ignored ("/a/b/" -> "b", "/" -> "").
inline std::string base_name(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const std::size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
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

  Status rename(const std::string& source, const std::string& dest) const {
    if (source.size() > kMaxPath || dest.size() > kMaxRenameDest) return Errc::path_too_long;
    return check(Rename(handle_, source.c_str(), dest.c_str()));
  }
  Status remove(const std::string& path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return check(DeletePhoneFile(handle_, path.c_str()));
  }
  Status remove_directory(const std::string& path, bool recursive = false) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return check(DeleteDirectory(handle_, path.c_str(), recursive));
  }
  Status make_directory(const std::string& path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return check(CreatePhoneDirectory(handle_, path.c_str()));
  }
  // -1 keeps the owner or the group as it is.
  Status chown(const std::string& path, int owner, int group) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    std::string mutablePath = path;  // the export takes a non-const char*
    return check(Chown(reinterpret_cast<std::uintptr_t>(handle_), mutablePath.data(), owner, group));
  }

  Result<bool> exists(const std::string& path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return answer(Exists(handle_, path.c_str()));
  }
  Result<bool> is_directory(const std::string& path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return answer(IsDirectory(handle_, path.c_str()));
  }

  // A file of exactly 4 GiB - 1 bytes reads as refused: its size and the
  // failure result share their bits.
  Result<std::uint32_t> file_size(const std::string& path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return word(FileSize(handle_, path.c_str()));
  }
  // The phone's free-space word, in the phone's unit (KiB for korvexd).
  Result<std::uint32_t> free_space(const std::string& path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    return word(GetSpaceSize(handle_, path.c_str()));
  }

  // The names in a phone directory, in the phone's order. Like a local
  // listing, neither has "." or "..": a walk would go round in them.
  Result<std::vector<std::string>> files(const std::string& path) const { return list(&GetFiles, path); }
  Result<std::vector<std::string>> directories(const std::string& path) const {
    return list(&GetDirectories, path);
  }

  struct Entry {
    std::string name;
    bool is_directory = false;
    std::uint32_t size = 0;  // 0 for a directory
  };
  // A directory's entries with their sizes in a few round trips: its
  // directories, then its files (one that went away before its size was
  // asked is left out), each in the phone's order.
  Result<std::vector<Entry>> entries(const std::string& path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    KorvexEntry* block = nullptr;
    const int count = GetEntries(handle_, path.c_str(), &block);
    if (count < 0) return failure();
    std::vector<Entry> listed;
    listed.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) listed.push_back({block[i].name, block[i].isDirectory != 0, block[i].size});
    FreeEntries(block);
    return listed;
  }
  // The size of each path in one pipelined pass, -1 where the phone refused
  // it (missing); the sizes are the phone's 32-bit words.
  Result<std::vector<std::int64_t>> sizes(const std::vector<std::string>& paths) const {
    std::vector<const char*> texts;
    texts.reserve(paths.size());
    for (const std::string& path : paths) {
      if (path.size() > kMaxPath) return Errc::path_too_long;
      texts.push_back(path.c_str());
    }
    std::vector<long long> found(paths.size(), -1);
    if (GetSizes(handle_, texts.data(), static_cast<int>(texts.size()), found.data()) < 0) return failure();
    return std::vector<std::int64_t>(found.begin(), found.end());
  }

  // Synchronous copies on the session's connection.
  Status upload(const std::string& local, const std::string& remote) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    return check(CopyToPhone(handle_, local.c_str(), remote.c_str()));
  }
  Status download(const std::string& remote, const std::string& local) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    return check(DownFromPhone(handle_, remote.c_str(), local.c_str()));
  }

  // Background copies on connections of their own.
  Result<Transfer> start_upload(const std::string& local, const std::string& remote) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    TransferHandle handle = CopyToPhoneAsync(handle_, local.c_str(), remote.c_str());
    if (!handle) return connected() ? Errc::local_file : Errc::connection_lost;
    return Transfer(handle);
  }
  Result<Transfer> start_download(const std::string& remote, const std::string& local) const {
    if (remote.size() > kMaxPath) return Errc::path_too_long;
    TransferHandle handle = DownFromPhoneAsync(handle_, remote.c_str(), local.c_str());
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

  Result<bool> answer(int value) const {
    if (value < 0) return failure();
    return value == 1;
  }

  Result<std::uint32_t> word(int value) const {
    if (value == -1) return failure();
    // 0 is also what a request that could not be sent yields.
    if (value == 0 && !connected()) return Errc::connection_lost;
    return static_cast<std::uint32_t>(value);
  }

  using Lister = int (*)(SessionHandle, const char*, char**);
  Result<std::vector<std::string>> list(Lister lister, const std::string& path) const {
    if (path.size() > kMaxPath) return Errc::path_too_long;
    char* buffer = nullptr;
    const int length = lister(handle_, path.c_str(), &buffer);
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
