#include "refusals.h"

namespace korvex::web {

namespace {

ApiError notFound(const std::string& path) { return {404, "not_found", path + ": no such file or folder"}; }

// The path's kind, or nothing when the question itself failed.
std::optional<korvex::PathKind> kindOf(const korvex::Session& phone, const std::string& path) {
  const korvex::Result<korvex::PathStatus> status = phone.status(path);
  if (!status) return std::nullopt;
  return status->kind;
}

}  // namespace

ApiError unreachable(korvex::Errc error) {
  if (error == korvex::Errc::login_failed) return {502, "login_refused", "the phone refused the login"};
  return {502, "phone_unreachable", "the phone does not answer; the next action tries again"};
}

ApiError refusal(const korvex::Session& phone, korvex::Errc error, Operation operation, const std::string& path,
                 const std::string& second) {
  if (error == korvex::Errc::path_too_long) return {400, "path_too_long", path + ": path too long for the phone"};
  if (error == korvex::Errc::local_file) return {500, "local_file", "a temporary file on this computer failed"};
  if (error == korvex::Errc::connection_lost || !phone.connected()) {
    return {502, "phone_lost", "the connection to the phone was lost; the next action connects again"};
  }
  const std::optional<korvex::PathKind> kind = kindOf(phone, path);
  const bool missing = kind == korvex::PathKind::missing;
  const bool directory = kind == korvex::PathKind::directory;
  switch (operation) {
    case Operation::list:
      if (missing) return notFound(path);
      if (kind && !directory) return {409, "not_a_directory", path + ": not a folder"};
      break;
    case Operation::stat:
    case Operation::space:
      if (missing) return notFound(path);
      break;
    case Operation::download:
      if (missing) return notFound(path);
      if (directory) return {409, "is_a_directory", path + ": a folder cannot be downloaded"};
      break;
    case Operation::makeDirectory:
    case Operation::upload: {
      if (kind && !missing && operation == Operation::makeDirectory) return {409, "already_exists", path + ": exists"};
      if (directory) return {409, "is_a_directory", path + ": a folder has that name"};
      const std::string parent = korvex::parent_path(path);
      const std::optional<korvex::PathKind> parentKind = kindOf(phone, parent);
      if (parentKind == korvex::PathKind::missing) return notFound(parent);
      if (parentKind && parentKind != korvex::PathKind::directory) {
        return {409, "not_a_directory", parent + ": not a folder"};
      }
      break;
    }
    case Operation::rename:
      if (missing) return notFound(path);
      if (const std::optional<korvex::PathKind> target = kindOf(phone, second);
          target && target != korvex::PathKind::missing) {
        return {409, "already_exists", second + ": exists"};
      }
      break;
    case Operation::remove:
      if (missing) return notFound(path);
      if (directory) {
        const korvex::Result<std::vector<korvex::Session::Entry>> inside = phone.entries(path);
        if (inside && !inside->empty()) return {409, "not_empty", path + ": the folder is not empty"};
      }
      break;
  }
  return {409, "refused", path + ": the phone refused the request"};
}

}  // namespace korvex::web
