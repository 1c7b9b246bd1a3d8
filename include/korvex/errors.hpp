// Why a call failed, as a value: Errc, its std::error_code category, and the
// Result, Status and Answer that carry it. Part of korvex.hpp.
#ifndef KORVEX_ERRORS_HPP
#define KORVEX_ERRORS_HPP

#include <chrono>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

namespace korvex {

enum class Errc {
  ok = 0,
  connect_failed,   // nothing accepted the TCP connection
  login_failed,     // the password was refused, or no answer in time
  refused,          // the phone said no and its state shows no reason; the session is still usable
  connection_lost,  // the session's connection is closed: connect again
  path_too_long,    // refused before anything was sent
  local_file,       // a local file could not be opened or created (the code says why)
  copy_failed,      // a background copy failed or was cancelled
  timed_out,        // a wait ran out of time; the copy still runs
  // The phone said no, and its state tells why (see diagnosis.hpp). The
  // session is still usable.
  not_found,        // the path, or the folder it goes in, is not there
  already_exists,   // the path to be made is there
  not_a_directory,  // a folder was needed, a file is there
  is_a_directory,   // a file was needed, a folder is there
  not_empty,        // a folder with entries, where an empty one was needed
  no_space,         // the phone has less free space than the file needs
  not_permitted,    // the phone does not let this be changed
};

// True for every way the phone says no while the session goes on: a plain
// refusal or one whose reason was found.
inline bool is_refusal(Errc code) { return code == Errc::refused || code >= Errc::not_found; }

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
    case Errc::connection_lost: return "the connection to the phone was lost";
    case Errc::path_too_long: return "path too long";
    case Errc::local_file: return "local file cannot be opened";
    case Errc::copy_failed: return "copy failed";
    case Errc::timed_out: return "timed out";
    case Errc::not_found: return "no such file or directory";
    case Errc::already_exists: return "file exists";
    case Errc::not_a_directory: return "not a directory";
    case Errc::is_a_directory: return "is a directory";
    case Errc::not_empty: return "directory not empty";
    case Errc::no_space: return "no space left on the phone";
    case Errc::not_permitted: return "operation not permitted";
  }
  return "unknown error";
}

// How a failed login ended, told by the time it took: the library waits at
// most kAnswerTimeout for each answer, so a login that failed sooner was
// closed by the phone (korvexd closes on a wrong password), and one that
// took that long went unanswered.
enum class LoginEnd { closed, not_answered };
inline constexpr std::chrono::milliseconds kAnswerTimeout{3000};

inline const char* message(LoginEnd end) {
  return end == LoginEnd::closed ? "the phone closed the connection (wrong password?)" : "no answer within 3 s";
}

// Errc as a std::error_code. Where a portable condition says the same, the
// code compares equal to it, so std::filesystem habits work:
// not_found == std::errc::no_such_file_or_directory, already_exists ==
// file_exists, not_a_directory, is_a_directory, not_empty ==
// directory_not_empty, no_space == no_space_on_device, not_permitted ==
// operation_not_permitted, refused == permission_denied; and
// connect_failed == connection_refused, login_failed == permission_denied,
// connection_lost == connection_aborted, path_too_long ==
// filename_too_long, timed_out == std::errc::timed_out.
class ErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "korvex"; }
  std::string message(int value) const override { return korvex::message(static_cast<Errc>(value)); }
  std::error_condition default_error_condition(int value) const noexcept override {
    switch (static_cast<Errc>(value)) {
      case Errc::connect_failed: return std::errc::connection_refused;
      case Errc::login_failed: return std::errc::permission_denied;
      case Errc::refused: return std::errc::permission_denied;
      case Errc::connection_lost: return std::errc::connection_aborted;
      case Errc::path_too_long: return std::errc::filename_too_long;
      case Errc::timed_out: return std::errc::timed_out;
      case Errc::not_found: return std::errc::no_such_file_or_directory;
      case Errc::already_exists: return std::errc::file_exists;
      case Errc::not_a_directory: return std::errc::not_a_directory;
      case Errc::is_a_directory: return std::errc::is_a_directory;
      case Errc::not_empty: return std::errc::directory_not_empty;
      case Errc::no_space: return std::errc::no_space_on_device;
      case Errc::not_permitted: return std::errc::operation_not_permitted;
      default: return std::error_condition(value, *this);
    }
  }
};

inline const std::error_category& category() noexcept {
  static const ErrorCategory instance;
  return instance;
}
inline std::error_code make_error_code(Errc code) noexcept { return {static_cast<int>(code), category()}; }

// A failure as the code the caller compares: a local one keeps the system's
// own code (std::errc::no_such_file_or_directory for a missing local file),
// everything else is an Errc.
class Reason {
 public:
  Reason() = default;
  Reason(Errc error) : error_(error) {}  // NOLINT: implicit by design
  // A local failure, with the system's reason.
  explicit Reason(std::error_code local) : error_(local ? Errc::local_file : Errc::ok), local_(local) {}
  Errc error() const { return error_; }
  std::error_code code() const { return error_ == Errc::local_file && local_ ? local_ : make_error_code(error_); }

 private:
  Errc error_ = Errc::ok;
  std::error_code local_;
};

#ifdef KORVEX_HPP_THROWING
// What value_or_throw() and or_throw() throw: code() is the std::error_code
// (the system's for a local failure), errc() the Errc.
class Error : public std::system_error {
 public:
  explicit Error(Errc code) : std::system_error(make_error_code(code)), errc_(code) {}
  explicit Error(const Reason& reason) : std::system_error(reason.code()), errc_(reason.error()) {}
  Errc errc() const noexcept { return errc_; }

 private:
  Errc errc_;
};
#endif

// A value or the reason there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}          // NOLINT: implicit by design
  Result(Errc error) : reason_(error) {}                // NOLINT
  Result(Reason reason) : reason_(reason) {}         // NOLINT
  explicit operator bool() const { return ok(); }
  bool ok() const { return reason_.error() == Errc::ok; }
  Errc error() const { return reason_.error(); }
  // The std::error_code: the system's own for a local failure.
  std::error_code code() const { return reason_.code(); }
  Reason reason() const { return reason_; }
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
    if (!ok()) throw Error(reason_);
    return std::move(value_);
  }
#endif

 private:
  T value_{};
  Reason reason_;
};

// Success or the reason for failure.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Errc error) : reason_(error) {}         // NOLINT
  Status(Reason reason) : reason_(reason) {}  // NOLINT
  explicit operator bool() const { return ok(); }
  bool ok() const { return reason_.error() == Errc::ok; }
  Errc error() const { return reason_.error(); }
  std::error_code code() const { return reason_.code(); }
  Reason reason() const { return reason_; }
#ifdef KORVEX_HPP_THROWING
  void or_throw() const {
    if (!ok()) throw Error(reason_);
  }
#endif

 private:
  Reason reason_;
};

// The answer to a yes-or-no question (exists, is_directory). It is true only
// when the phone said yes: a question that could not be answered is false
// like a "no", and ok() and error() tell the two apart.
//   if (phone.exists(p)) ...                    // there
//   if (auto a = phone.exists(p); a.no()) ...   // surely not there
class [[nodiscard]] Answer {
 public:
  Answer(bool yes) : yes_(yes) {}        // NOLINT: implicit by design
  Answer(Errc error) : error_(error) {}  // NOLINT
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

}  // namespace korvex

#endif  // KORVEX_ERRORS_HPP
