#include "web_context.h"

#include "browser_paths.h"
#include "refusals.h"

namespace korvex::web {

SessionRef sessionFor(WebContext& context, httplib::Response& response) {
  PhoneLink::Use use = context.phone.use();
  if (!use.session) {
    sendError(response, unreachable(use.error));
    return nullptr;
  }
  if (use.reconnected) response.set_header("X-Korvex-Reconnected", "1");
  return use.session;
}

std::optional<std::string> pathParam(const httplib::Request& request, httplib::Response& response, const char* name) {
  const std::string text = request.get_param_value(name);
  std::optional<std::string> path = browserPath(text);
  if (!path || request.get_param_value_count(name) != 1) {
    sendError(response, badPath(name));
    return std::nullopt;
  }
  return path;
}

std::optional<nlohmann::json> jsonBody(const httplib::Request& request, httplib::Response& response) {
  nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) {
    sendError(response, {400, "bad_request", "the body is not a JSON object"});
    return std::nullopt;
  }
  return body;
}

}  // namespace korvex::web
