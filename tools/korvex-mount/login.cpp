#include "login.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "command_line.h"
#include "exit_status.h"
#include "korvex.hpp"
#include "login_settings.h"
#include "phone.h"

namespace korvex::mount {
namespace {

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

int findLogin(const Settings& settings, std::string& host, std::string& password) {
  const korvex::cli::LoginSettings login =
      korvex::cli::readLoginSettings({settings.host, std::nullopt, settings.passwordFile, settings.phone});
  using Problem = korvex::cli::LoginSettings::Problem;
  if (login.problem != Problem::None) {
    return fail(login.problem == Problem::LocalFile ? kLocalFile : kUsage, login.message);
  }
  host = login.host;
  password = login.password;
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
