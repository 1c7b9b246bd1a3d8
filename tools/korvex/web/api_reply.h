// How the JSON API answers: a JSON body, or an error as
// {"error": CODE, "message": TEXT} with its HTTP status.
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>

namespace korvex::web {

struct ApiError {
  int status = 400;
  std::string code;     // stable, for scripts: "not_found", "bad_path", ...
  std::string message;  // for people
};

inline void sendJson(httplib::Response& response, const nlohmann::json& body, int status = 200) {
  response.status = status;
  // Names may be any bytes: invalid UTF-8 is replaced, never thrown on. The
  // charset also keeps the HTTP library from compressing the answer, which
  // it does for plain "application/json" when the browser accepts it:
  // brotli took longer over a 1,000-name listing than the phone did.
  response.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                       "application/json; charset=utf-8");
}

inline void sendError(httplib::Response& response, const ApiError& error) {
  sendJson(response, {{"error", error.code}, {"message", error.message}}, error.status);
}

inline ApiError badPath(const std::string& what) {
  return {400, "bad_path", what + ": not an absolute phone path without empty, \".\" or \"..\" parts"};
}
inline ApiError badName() {
  return {400, "bad_name", "a name may not be empty, \".\" or \"..\", nor hold '/', '\\' or control characters"};
}

}  // namespace korvex::web
