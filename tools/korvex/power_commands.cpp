// shutdown, reboot and restart. They always report success: the phone does
// not confirm before going away.
#include <cstdio>

#include "commands.h"
#include "text.h"

namespace korvex::cli {

namespace {

struct PowerRequest {
  void (korvex::Session::*ask)() const = nullptr;
  const char* asked = "";  // what the phone was asked to do
};

int powerCommand(Context& context, const PowerRequest& request) {
  (context.phone().*request.ask)();
  std::printf("asked %s to %s\n", shown(context.address()).c_str(), request.asked);
  return kOk;
}

}  // namespace

const AddCommand addPower = [](CLI::App& app, Run& run) {
  struct Power {
    const char* name;
    const char* description;
    PowerRequest request;
  };
  const Power commands[] = {
      {"shutdown", "ask the phone to shut down", {&korvex::Session::shutdown, "shut down"}},
      {"reboot", "ask the phone to reboot", {&korvex::Session::reboot, "reboot"}},
      {"restart", "ask the phone to restart its file service", {&korvex::Session::restart, "restart its service"}},
  };
  for (const Power& power : commands) {
    *subcommand(app, run, power.name, power.description, &powerCommand).options = power.request;
  }
};

}  // namespace korvex::cli
