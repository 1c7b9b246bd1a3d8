#include "login.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "exit_status.h"
#include "korvex.hpp"
#include "phone.h"

namespace korvex::mount {
namespace {

// The first line of the file, without its line end; false when unreadable.
bool readPasswordFile(const std::string& path, std::string& password) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::getline(in, password);
  if (in.bad()) return false;
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

// The child reports the login's result as its exit status.
korvex::Status connectInChild(const std::string& address, const std::string& password) {
  const pid_t child = fork();
  if (child < 0) return korvex::Errc::connect_failed;
  if (child == 0) {
    const korvex::Result<korvex::Session> session = korvex::Session::connect(address, password);
    _exit(static_cast<int>(session.error()));
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status)) return korvex::Errc::connect_failed;
  switch (static_cast<korvex::Errc>(WEXITSTATUS(status))) {
    case korvex::Errc::ok: return {};
    case korvex::Errc::login_failed: return korvex::Errc::login_failed;
    default: return korvex::Errc::connect_failed;
  }
}

}  // namespace

int findPassword(const std::string& passwordFile, std::string& password) {
  if (!passwordFile.empty()) {
    if (!readPasswordFile(passwordFile, password)) {
      return fail(kLocalFile, "--password-file: " + passwordFile + ": " + std::strerror(errno));
    }
  } else if (const char* fromEnvironment = std::getenv("KORVEX_PASSWORD")) {
    password = fromEnvironment;
  } else {
    return fail(kUsage, "no password: give --password-file or set KORVEX_PASSWORD");
  }
  if (password.size() > korvex::kMaxPassword) {
    return fail(kUsage, "the password is longer than " + std::to_string(korvex::kMaxPassword) + " bytes");
  }
  return 0;
}

int checkLogin(Phone& phone, bool foreground) {
  const korvex::Status login = foreground ? phone.connect() : connectInChild(phone.address(), phone.password());
  if (login) return 0;
  const std::string& address = phone.address();
  if (login.error() == korvex::Errc::login_failed) {
    return fail(kLoginRefused, address + ": login refused (wrong password, or no answer within 3 s)");
  }
  return fail(kNoConnect, address + ": cannot connect");
}

}  // namespace korvex::mount
