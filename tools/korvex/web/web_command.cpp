// korvex web: the phone in a browser tab, served from this machine.
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "access_guard.h"
#include "commands.h"
#include "stop_signals.h"
#include "web_platform.h"
#include "web_server.h"

namespace korvex::cli {

namespace {

struct WebOptions {
  std::string listen = "127.0.0.1:8023";
  bool open = false;

  void check() const {
    if (!korvex::web::parseListenAddress(listen)) {
      throw CLI::ValidationError("--listen", "HOST:PORT expected, an IPv6 host in brackets: " + listen);
    }
  }
};

int webCommand(Context& context, const WebOptions& options) {
  using namespace korvex::web;
  const ListenAddress where = *parseListenAddress(options.listen);
  PhoneLink phone(context.address(), context.password());
  phone.connect();
  ScratchDir scratch;
  ignoreBrokenPipes();
  WebServer server(phone, scratch, where, randomToken());
  if (!server.bind()) throw Failure{kUsage, "web: cannot listen on " + options.listen};
  if (!isLoopback(where.host)) {
    printMessage("warning: listening on " + server.listening() +
                 ": the phone is now reachable from the network by anyone who has the address with its token");
  }
  // Before the address is out: whoever reads it may stop the server at once.
  StopSignals stops;
  std::atomic<bool> finished{false};
  bool served = true;
  std::thread serving([&] {
    served = server.run();
    finished = true;
  });
  // Scripts and tests read this line from a pipe.
  std::printf("%s\n", server.url().c_str());
  std::fflush(stdout);
  // The page is served while the browser starts: an xdg-open that waits
  // for the browser it started must find the server answering.
  auto opened = std::make_shared<std::atomic<bool>>(false);
  std::thread opening;
  if (options.open) {
    opening = std::thread([opened, url = server.url()] {
      if (!openInBrowser(url)) printMessage("web: could not start a browser; open the address");
      *opened = true;
    });
  }
  while (stopSignal == 0 && !finished) sleepUnlessStopped(std::chrono::milliseconds(200));
  // Ends the accept loop; the request threads finish what they hold, and
  // each download's copy ends with its response.
  server.stop();
  serving.join();
  // A browser still open keeps its xdg-open waiting: it is not waited for.
  if (opening.joinable()) *opened ? opening.join() : opening.detach();
  if (stopSignal == 0 && !served) throw Failure{kBroken, "web: the server stopped"};
  return kOk;
}

void add(CLI::App& app, Run& run) {
  const auto added = subcommand(app, run, "web", "serve the phone's files to a browser on this machine", webCommand);
  added.app->add_option("--listen", added.options->listen,
                        "where to listen (port 0: a free one); another address than loopback exposes the phone")
      ->type_name("HOST:PORT")
      ->capture_default_str();
  added.app->add_flag("--open", added.options->open, "start the desktop's browser on the address");
}

}  // namespace

const AddCommand addWeb = add;

}  // namespace korvex::cli
