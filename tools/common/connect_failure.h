// Why a tool has no session, in the words korvex and korvex-mount both use:
// the library tells only "cannot connect" or "login refused", and a name
// that does not resolve is the one cause worth telling apart.
#pragma once

#include <optional>
#include <string>

#include "korvex/errors.hpp"

namespace korvex::cli {

// "login to ADDR refused: " and how the login ended when that is known, or
// "cannot connect to ADDR: " and the reason: the name does not resolve, or
// no service answered.
std::string connectFailure(const std::string& address, korvex::Errc error,
                           std::optional<korvex::LoginEnd> ended = std::nullopt);

}  // namespace korvex::cli
