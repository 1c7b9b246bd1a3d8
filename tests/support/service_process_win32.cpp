// The service of a Windows test: the Linux korvexd that
// tests/windows/with_service.sh started for it, named in the environment.
#include <cstdlib>
#include <stdexcept>

#include "service_process.h"
#include "temp_dir.h"

namespace korvex::test {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

[[noreturn]] void outsideTheTest(const char* what) {
  throw std::logic_error(std::string(what) + ": korvexd runs outside Windows tests");
}

}  // namespace

ServiceProcess::ServiceProcess() : ServiceProcess(Options{}) {}

ServiceProcess::ServiceProcess(Options options) : options_(std::move(options)) {
  const Options defaults;
  if (!options_.binary.empty() || !options_.root.empty() || !options_.workdir.empty() ||
      !options_.extraArgs.empty() || options_.password != defaults.password ||
      options_.deviceName != defaults.deviceName || options_.passwordVia != defaults.passwordVia ||
      options_.allowChown != defaults.allowChown) {
    outsideTheTest("options other than the defaults");
  }
  const std::string address = environment("KORVEX_TEST_SERVICE");
  const std::string prefix = "127.0.0.1:";
  const unsigned long port =
      address.rfind(prefix, 0) == 0 ? std::strtoul(address.c_str() + prefix.size(), nullptr, 10) : 0;
  root_ = environment("KORVEX_TEST_SERVICE_ROOT");
  logPath_ = environment("KORVEX_TEST_SERVICE_LOG");
  if (port == 0 || port > 65535 || root_.empty()) {
    throw std::runtime_error("no korvexd in KORVEX_TEST_SERVICE(_ROOT): run the test through with_service.sh");
  }
  port_ = static_cast<std::uint16_t>(port);
}

ServiceProcess::~ServiceProcess() = default;

long ServiceProcess::pid() const { outsideTheTest("pid"); }

std::optional<int> ServiceProcess::waitExit(std::chrono::milliseconds) { outsideTheTest("waitExit"); }

int ServiceProcess::stop() { outsideTheTest("stop"); }

bool ServiceProcess::waitForLog(std::string_view, std::chrono::milliseconds) const { outsideTheTest("waitForLog"); }

}  // namespace korvex::test
