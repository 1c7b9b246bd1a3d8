#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>

#include "web_platform.h"

extern char** environ;

namespace korvex::web {

std::string makePrivateDirectory(int& error) {
  std::error_code ignored;
  std::string pattern = (std::filesystem::temp_directory_path(ignored) / "korvex-web-XXXXXX").string();
  if (ignored) pattern = "/tmp/korvex-web-XXXXXX";
  if (!::mkdtemp(pattern.data())) {  // mode 0700
    error = errno;
    return {};
  }
  return pattern;
}

void ignoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

bool openInBrowser(const std::string& url) {
  // No shell: the URL is one argument whatever it holds.
  char program[] = "xdg-open";
  std::string argument = url;
  char* arguments[] = {program, argument.data(), nullptr};
  pid_t child = 0;
  if (::posix_spawnp(&child, program, nullptr, nullptr, arguments, environ) != 0) return false;
  // xdg-open hands the URL over and returns; its status says whether it could.
  int status = 0;
  pid_t waited = 0;
  do {
    waited = ::waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);  // a stop signal meanwhile says nothing about the browser
  return waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace korvex::web
