// A logged-in session with the phone, and the failures the commands report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exit_codes.h"
#include "korvex.h"

namespace korvex::cli {

// Ends the command: main() prints the message and exits with the code.
struct Failure {
  int code;
  std::string message;
};

// "korvex: MESSAGE" on standard error, after what standard output holds,
// with the message escaped (shown()): it may name anything the phone sent.
void printMessage(const std::string& message);

// Longest phone paths the library sends (a rename's destination: kMaxRenameDest).
constexpr std::size_t kMaxPhonePath = 1022;
constexpr std::size_t kMaxRenameDest = 254;

class Phone {
 public:
  // Connects and logs in; throws Failure with kNoConnect or kLoginRefused.
  Phone(const std::string& address, const std::string& password);
  // Ends the session: the phone sees the connection close at once.
  ~Phone() { Disconnect(handle_); }
  Phone(const Phone&) = delete;
  Phone& operator=(const Phone&) = delete;

  SessionHandle handle() const { return handle_; }
  const std::string& address() const { return address_; }

  // 1 yes, 0 no, -1 the question failed.
  int exists(const std::string& path) const { return Exists(handle_, path.c_str()); }
  int isDirectory(const std::string& path) const { return IsDirectory(handle_, path.c_str()); }
  bool connected() const;
  // The size of a file read as the unsigned word it travels as; -1 when the
  // phone refused (a file of exactly 4 GiB - 1 bytes reads so too).
  std::int64_t fileSize(const std::string& path) const;
  // The files or subdirectories of a directory in the phone's order; nothing
  // when the listing failed. "." and ".." listed as subdirectories are left
  // out: every walk would go round in them.
  std::optional<std::vector<std::string>> list(const std::string& path, bool directories) const;

  // A refused request as a Failure: the reason comes from asking the phone
  // about the path, since the library only says yes or no. `hint` replaces
  // the generic reason when the path itself looks fine.
  Failure refusal(const std::string& what, const std::string& path, const std::string& hint = {}) const;

 private:
  std::string address_;
  SessionHandle handle_ = nullptr;
};

// The directory part of a phone path ("/a/b" -> "/a", "b" -> "").
std::string phoneParent(const std::string& path);
// `name` inside a phone directory.
std::string joinPhone(const std::string& directory, const std::string& name);
// The last component of a '/'-separated path.
std::string baseName(const std::string& path);

}  // namespace korvex::cli
