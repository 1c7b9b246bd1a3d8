// The password and the login check made before anything is mounted, so that
// a wrong password or an unreachable phone ends the program with its reason.
#pragma once

#include <string>

namespace korvex::mount {

class Phone;
struct Settings;

// The address and the password as korvex finds them (login_settings.h): 0,
// or the exit status after saying why there are none.
int findLogin(const Settings& settings, std::string& host, std::string& password);

// Logs in once: 0, or the exit status after saying why it failed. In the
// foreground the session is kept for the mount; going to the background,
// the check runs in a child process, since the library's threads would not
// survive the fork and the mounted process connects on its own.
int checkLogin(Phone& phone, bool foreground);

}  // namespace korvex::mount
