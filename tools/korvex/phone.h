// The phone's session as the commands read it: its yes-or-no answers, and a
// failed call turned into a Failure with the reason the host layer found.
#pragma once

#include <cstdint>
#include <string>

#include "failure.h"
#include "korvex.hpp"

namespace korvex::cli {

// Connects and logs in; throws Failure with kNoConnect or kLoginRefused.
korvex::Session openSession(const std::string& address, const std::string& password);

// The phone said yes, or said no; a question that failed is neither.
inline bool yes(const korvex::Answer& answer) { return answer.yes(); }
inline bool no(const korvex::Answer& answer) { return answer.no(); }

// A size the phone would not tell is -1.
inline std::int64_t sizeOrUnknown(const korvex::Result<std::uint32_t>& size) {
  return size ? std::int64_t{*size} : -1;
}

// A failed call as a Failure "WHAT: PATH: reason": a lost connection is
// kBroken, a local mistake kLocalFile with the system's reason, a refusal
// kRefused with the reason the phone's state shows. `hint` replaces the
// generic text of a refusal that shows none.
Failure asFailure(const std::string& what, const std::string& path, const korvex::Reason& why,
                const std::string& hint = {});

// A refused request about an existing path, asked of the phone now.
Failure refusal(const korvex::Session& phone, const std::string& what, const std::string& path,
                const std::string& hint = {});
// The same for a directory request, naming a path that is not one.
Failure directoryRefusal(const korvex::Session& phone, const std::string& what, const std::string& path,
                         const std::string& hint = {});

}  // namespace korvex::cli
