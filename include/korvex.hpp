// korvex for C++ hosts: the host layer over the C exports of korvex.h.
// Header-only, C++17, no exceptions required (define KORVEX_HPP_THROWING
// before including it for value_or_throw()). This umbrella includes the
// parts, installed together under korvex/:
//   errors.hpp       Errc, its std::error_code category, Result, Status, Answer
//   paths.hpp        bounds, local path text, plain names, phone path helpers
//   transfer.hpp     background copies and their progress
//   diagnosis.hpp    why the phone said no: one table of rules
//   local_checks.hpp what is wrong with a copy's local side, before sending
//   session_facts.hpp the phone's state a diagnosis asks, through a session
//   tree.hpp         the one walk of a phone tree, with a visitor
//   session.hpp      Session: commands, listings, walks, copies, interrupt()
//   pool.hpp         SessionPool: logged-in sessions for work side by side
//
//   auto phone = korvex::Session::connect("192.168.1.20", "secret");
//   if (!phone) return static_cast<int>(phone.error());
//   for (const std::string& name : phone->files("/photos").value_or({})) ...
//
// Every result is [[nodiscard]]: a Result<T>, a Status or an Answer that is
// dropped is a warning. Errc converts to std::error_code (korvex::category()),
// and a refusal whose reason the phone's state shows compares equal to the
// std::errc users know (not_found == no_such_file_or_directory, ...); a
// local mistake keeps the system's own code.
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
//   for a handle that a borrowed Session wraps and that its owner ends. To
//   end a session's work from another thread, call interrupt(): it may
//   overlap anything but those, and the blocked call returns at once.
// - Transfer::progress() and wait() take no lock and may be called from
//   several threads; they stay safe after the session that started the copy
//   has ended, which stops it (it then reads as failed). cancel(), assignment
//   and destruction of a Transfer free its handle and must not overlap any
//   other call on it: keep those on the thread that owns it.
// - Results, answers, errors and the path helpers are plain values.
#ifndef KORVEX_HPP
#define KORVEX_HPP

#include <string>

#include "korvex.h"
#include "korvex/diagnosis.hpp"
#include "korvex/errors.hpp"
#include "korvex/local_checks.hpp"
#include "korvex/paths.hpp"
#include "korvex/pool.hpp"
#include "korvex/session.hpp"
#include "korvex/session_facts.hpp"
#include "korvex/transfer.hpp"
#include "korvex/tree.hpp"

namespace korvex {

// Turns the library's log on (level 0..8; 3 errors ... 7 trace) to `path`,
// or to standard error when path is empty. true when the file was opened.
inline bool enable_log(unsigned level, const std::string& path = {}) {
  return EnableLog(true, level, path.empty() ? nullptr : path.c_str()) == 1;
}
inline void disable_log() { EnableLog(false, 0, nullptr); }

}  // namespace korvex

#endif  // KORVEX_HPP
