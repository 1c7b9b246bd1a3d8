// The shaping relay of the test support as a program, for scripts:
//
//   link_proxy --to 127.0.0.1:PORT [--listen PORT] [--delay-ms MS] [--rate-mbit MBIT]
//
// Relays 127.0.0.1:LISTEN (0, the default, picks a port) to the target with
// MS one-way delay and MBIT Mbit/s in each direction, shared by all
// connections (0: no limit). The first line printed names the port:
// "link_proxy listening on 127.0.0.1:PORT". Runs until it is killed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common.h"
#include "link_proxy.h"

namespace {

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "link_proxy: %s\nusage: link_proxy --to 127.0.0.1:PORT [--listen PORT] [--delay-ms MS] [--rate-mbit MBIT]\n", why);
  std::exit(2);
}

double number(const std::string& text, const char* what) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 0)) usage(what);
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  const korvex::bench::Flags flags(argc, argv, {"to", "listen", "delay-ms", "rate-mbit"});
  // Loopback only: the relay connects to 127.0.0.1 whatever the name.
  const std::string to = flags.text("to", "");
  const std::size_t colon = to.rfind(':');
  if (colon == std::string::npos || (to.substr(0, colon) != "127.0.0.1" && to.substr(0, colon) != "localhost"))
    usage("--to wants 127.0.0.1:PORT");
  const double target = number(to.substr(colon + 1), "bad port in --to");
  const double listen = number(flags.text("listen", "0"), "bad --listen port");
  if (target < 1 || target > 65535 || listen > 65535) usage("ports run from 1 to 65535");

  korvex::test::LinkShape shape;
  shape.delay = std::chrono::microseconds(static_cast<long long>(number(flags.text("delay-ms", "0"), "bad --delay-ms") * 1000));
  shape.bitsPerSecond = number(flags.text("rate-mbit", "0"), "bad --rate-mbit") * 1e6;

  korvex::test::LinkProxy proxy(static_cast<std::uint16_t>(target), shape, static_cast<std::uint16_t>(listen));
  if (!proxy.listening()) {
    std::fprintf(stderr, "link_proxy: cannot listen on 127.0.0.1:%.0f\n", listen);
    return 1;
  }
  std::printf("link_proxy listening on %s\n", proxy.address().c_str());
  std::fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
