#include "refusals.h"

namespace korvex::web {

namespace {

// The host layer's operation for one the page asked for.
korvex::Operation hostOperation(Operation operation) {
  switch (operation) {
    case Operation::list: return korvex::Operation::list;
    case Operation::makeDirectory: return korvex::Operation::make_directory;
    case Operation::rename: return korvex::Operation::rename;
    case Operation::remove: return korvex::Operation::remove_directory;
    case Operation::download: return korvex::Operation::download;
    case Operation::upload: return korvex::Operation::upload;
    case Operation::stat:
    case Operation::space: return korvex::Operation::access;
  }
  return korvex::Operation::access;
}

// The code the page and scripts read: the reason's own name.
const char* codeOf(korvex::Errc reason) {
  switch (reason) {
    case korvex::Errc::not_found: return "not_found";
    case korvex::Errc::already_exists: return "already_exists";
    case korvex::Errc::not_a_directory: return "not_a_directory";
    case korvex::Errc::is_a_directory: return "is_a_directory";
    case korvex::Errc::not_empty: return "not_empty";
    case korvex::Errc::no_space: return "no_space";
    case korvex::Errc::not_permitted: return "not_permitted";
    default: return "refused";
  }
}

}  // namespace

ApiError unreachable(korvex::Errc error) {
  if (error == korvex::Errc::login_failed) return {502, "login_refused", "the phone refused the login"};
  return {502, "phone_unreachable", "the phone does not answer; the next action tries again"};
}

ApiError refusal(const korvex::Session& phone, korvex::Errc error, Operation operation, const std::string& path,
                 const std::string& second) {
  // The host layer's calls come back with their reason; a copy in the
  // background says only that it failed, so ask for it here.
  if (error == korvex::Errc::refused || error == korvex::Errc::copy_failed) {
    error = phone.why(hostOperation(operation), path, second);
  }
  switch (error) {
    case korvex::Errc::path_too_long: return {400, "path_too_long", path + ": path too long for the phone"};
    case korvex::Errc::local_file: return {500, "local_file", "a temporary file on this computer failed"};
    case korvex::Errc::connection_lost:
      return {502, "phone_lost", "the connection to the phone was lost; the next action connects again"};
    case korvex::Errc::not_found: return {404, codeOf(error), path + ": " + korvex::message(error)};
    case korvex::Errc::refused: return {409, codeOf(error), path + ": the phone refused the request"};
    default: return {409, codeOf(error), path + ": " + korvex::message(error)};
  }
}

}  // namespace korvex::web
