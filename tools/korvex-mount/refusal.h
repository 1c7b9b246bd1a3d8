// What a phone command's "no" means to the caller, as an errno. The phone
// answers only yes or no, so the reason is asked afterwards: a session that
// lost its connection is EIO; otherwise the path's state tells which errno
// the standard tools expect. Called only after the command failed.
#pragma once

#include <string>

#include "korvex.hpp"

namespace korvex::mount {

class Phone;

int listingRefusal(const korvex::Session& session, const std::string& path);
int mkdirRefusal(const korvex::Session& session, const std::string& path);
int unlinkRefusal(const korvex::Session& session, const std::string& path);
int rmdirRefusal(const korvex::Session& session, const std::string& path);
int renameRefusal(const korvex::Session& session, const std::string& from, const std::string& to);
int chownRefusal(const korvex::Session& session);
// A download that failed without a reason of its own: asked on a fresh
// session, since the copy's may be the one that was lost.
int downloadRefusal(Phone& phone, const std::string& path);

}  // namespace korvex::mount
