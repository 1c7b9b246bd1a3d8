#include "web_server.h"

#include <charconv>

#include "api_routes.h"
#include "content_types.h"
#include "page_files.h"

namespace korvex::web {

namespace {

using Request = httplib::Request;
using Response = httplib::Response;

// Request threads: the browser's six connections, a script's few, and room
// for the answers that refuse the rest.
constexpr std::size_t kThreads = 12;

// The page runs only its own scripts and styles and talks only to this
// server; no frame may hold it.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void forbid(Response& response, const char* code, const char* message) {
  response.set_header("Connection", "close");
  sendError(response, {403, code, message});
}

// The request's URL without its token parameter, for the redirect.
std::string withoutToken(const Request& request) {
  std::string query;
  for (const auto& [key, value] : request.params) {
    if (key == "token") continue;
    query += (query.empty() ? "?" : "&") + httplib::detail::encode_query_param(key) + "=" +
             httplib::detail::encode_query_param(value);
  }
  return request.path + query;
}

}  // namespace

WebServer::WebServer(PhoneLink& phone, ScratchDir& scratch, ListenAddress where, std::string token)
    : context_{phone, scratch}, where_(where), access_(std::move(token), where) {
  http_.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  http_.set_keep_alive_timeout(5);
  // An answer's header and body go out as separate writes: Nagle's
  // algorithm would hold the body back until the browser, which delays its
  // acknowledgements on a kept-alive connection, acknowledged the header.
  http_.set_tcp_nodelay(true);
  // A stalled peer holds a thread at most this long per read or write.
  http_.set_read_timeout(30);
  http_.set_write_timeout(30);
  http_.set_payload_max_length(0xFFFFFFFEull);
  http_.set_pre_routing_handler([this](const Request& request, Response& response) { return guard(request, response); });
  http_.set_post_routing_handler([](const Request&, Response& response) {
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("Cache-Control", "no-store");
    response.set_header("X-Frame-Options", "DENY");
  });
  addApiRoutes(http_, context_);
  addTransferRoutes(http_, context_);
  addPageRoutes();
}

bool WebServer::bind() {
  const int port = where_.port == 0                               ? http_.bind_to_any_port(where_.host)
                   : http_.bind_to_port(where_.host, where_.port) ? where_.port
                                                                  : -1;
  if (port <= 0) return false;
  where_.port = port;
  access_.setPort(port);
  return true;
}

std::string WebServer::listening() const { return urlHost(where_.host) + ":" + std::to_string(where_.port); }

std::string WebServer::url() const { return "http://" + listening() + "/?token=" + access_.token(); }

httplib::Server::HandlerResponse WebServer::guard(const Request& request, Response& response) {
  using Handled = httplib::Server::HandlerResponse;
  AccessRequest asked;
  asked.method = request.method;
  const std::string host = request.get_header_value("Host");
  const std::string cookies = request.get_header_value("Cookie");
  const std::string token = request.get_param_value("token");
  asked.host = host;
  asked.cookies = cookies;
  asked.tokenParam = token;
  asked.hasTokenParam = request.has_param("token");
  asked.hasChangeHeader = request.has_header(std::string(kChangeHeader).c_str());
  switch (access_.check(asked)) {
    case Access::wrongHost:
      forbid(response, "wrong_host", "the Host header does not name this server");
      return Handled::Handled;
    case Access::noToken:
      forbid(response, "no_token", "open the address korvex web printed, with its token");
      return Handled::Handled;
    case Access::noChangeHeader:
      forbid(response, "no_change_header", "a change needs the X-Korvex header");
      return Handled::Handled;
    case Access::setCookie:
      response.set_header("Set-Cookie", access_.cookie());
      response.set_redirect(withoutToken(request), 303);
      return Handled::Handled;
    case Access::allow:
      break;
  }
  // Bodies are bounded before they are read: only an upload is large, and
  // it streams to a scratch file.
  if (request.has_header("Transfer-Encoding")) {
    response.set_header("Connection", "close");
    sendError(response, {411, "length_required", "send a Content-Length, not chunks"});
    return Handled::Handled;
  }
  const std::string length = request.get_header_value("Content-Length");
  std::size_t bytes = 0;
  const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
  const bool readable = error == std::errc() && end == length.data() + length.size();
  if (request.path != "/api/upload" && !length.empty() && (!readable || bytes > kMaxJsonBody)) {
    response.set_header("Connection", "close");
    sendError(response, {413, "too_large", "the request body is too large"});
    return Handled::Handled;
  }
  return Handled::Unhandled;
}

void WebServer::addPageRoutes() {
  for (const PageFile& file : pageFiles()) {
    const auto serve = [&file](const Request&, Response& response) {
      const std::string_view name = file.path == "/index.html" ? "index.html" : file.path.substr(1);
      response.set_header("Content-Security-Policy", kPagePolicy);
      std::string_view type = contentType(name);
      if (type == "text/html" || type == "text/css" || type == "text/javascript") {
        response.set_content(file.bytes.data(), file.bytes.size(), (std::string(type) + "; charset=utf-8").c_str());
      } else {
        response.set_content(file.bytes.data(), file.bytes.size(), std::string(type).c_str());
      }
    };
    http_.Get(std::string(file.path), serve);
    if (file.path == "/index.html") http_.Get("/", serve);
  }
}

}  // namespace korvex::web
