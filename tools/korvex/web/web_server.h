// The HTTP server of `korvex web`: the guard every request passes, the
// embedded page and the JSON API, on a bounded pool of threads.
#pragma once

#include <httplib.h>

#include <string>

#include "access_guard.h"
#include "listen_address.h"
#include "web_context.h"

namespace korvex::web {

class WebServer {
 public:
  WebServer(PhoneLink& phone, ScratchDir& scratch, ListenAddress where, std::string token);

  // Binds the listening socket; false when it cannot be had.
  bool bind();
  // The address to open, with the token: http://HOST:PORT/?token=...
  std::string url() const;
  // HOST:PORT as bound: the port picked when 0 was asked.
  std::string listening() const;
  // Serves until stop(); false when serving failed.
  bool run() { return http_.listen_after_bind(); }
  void stop() {
    context_.stopping = true;
    http_.stop();
  }
  bool running() const { return http_.is_running(); }

 private:
  httplib::Server::HandlerResponse guard(const httplib::Request& request, httplib::Response& response);
  void addPageRoutes();

  httplib::Server http_;
  WebContext context_;
  ListenAddress where_;
  AccessGuard access_;
};

}  // namespace korvex::web
