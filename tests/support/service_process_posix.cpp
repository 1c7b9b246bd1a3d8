#include "service_process.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "deadline.h"
#include "temp_dir.h"

extern char** environ;

#ifndef KORVEXD_PATH
#define KORVEXD_PATH "korvexd"
#endif

namespace korvex::test {

ServiceProcess::ServiceProcess() : ServiceProcess(Options{}) {}

ServiceProcess::ServiceProcess(Options options) : options_(std::move(options)),
      dir_(std::make_unique<TempDir>("korvexd", options_.workdir)) {
  root_ = options_.root.empty() ? *dir_ / "root" : options_.root;
  logPath_ = *dir_ / "korvexd.log";
  std::filesystem::create_directories(root_);

  ChildProcess::Options launch;
  launch.argv = {options_.binary.empty() ? std::string(KORVEXD_PATH) : options_.binary.string(),
                 "--root", root_.string(), "--listen", "127.0.0.1:0", "--name", options_.deviceName};
  switch (options_.passwordVia) {
    case Options::PasswordVia::Argument:
      launch.argv.insert(launch.argv.end(), {"--password", options_.password});
      break;
    case Options::PasswordVia::File: {
      const std::filesystem::path file = *dir_ / "password";
      std::ofstream(file) << options_.password << "\n";
      launch.argv.insert(launch.argv.end(), {"--password-file", file.string()});
      break;
    }
    case Options::PasswordVia::Environment:
      launch.environment.emplace();
      for (char** entry = environ; *entry != nullptr; ++entry) launch.environment->emplace_back(*entry);
      launch.environment->push_back("KORVEXD_PASSWORD=" + options_.password);
      break;
  }
  if (options_.allowChown) launch.argv.push_back("--allow-chown");
  launch.argv.insert(launch.argv.end(), options_.extraArgs.begin(), options_.extraArgs.end());
  launch.out.kind = ChildProcess::Output::Pipe;
  launch.err = {ChildProcess::Output::File, logPath_};
  process_ = std::make_shared<ChildProcess>(launch);

  // The first line names the port; the service prints nothing more, and
  // ignores SIGPIPE.
  const std::string line = process_->readLine(std::chrono::seconds(20)).value_or("");
  process_->closeOutput();
  const std::string prefix = "korvexd listening on 127.0.0.1:";
  const unsigned long port = line.rfind(prefix, 0) == 0 ? std::strtoul(line.c_str() + prefix.size(), nullptr, 10) : 0;
  if (port == 0 || port > 65535) {
    process_->stop();
    throw std::runtime_error("korvexd did not start: \"" + line + "\"; log: " + log());
  }
  port_ = static_cast<std::uint16_t>(port);
}

ServiceProcess::~ServiceProcess() = default;  // the process stops before the directory goes

long ServiceProcess::pid() const { return process_->pid(); }

std::optional<int> ServiceProcess::waitExit(std::chrono::milliseconds timeout) { return process_->waitExit(timeout); }

int ServiceProcess::stop() { return process_->stop(); }

bool ServiceProcess::waitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
  const Deadline deadline(timeout);
  FileWatch watch(logPath_);
  for (;;) {
    if (log().find(text) != std::string::npos) return true;
    if (!watch.wait(deadline.left())) return log().find(text) != std::string::npos;
  }
}

}  // namespace korvex::test
