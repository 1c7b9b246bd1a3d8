// The korvex commands. Each returns an exit code or throws Failure.
#pragma once

#include <memory>
#include <string>

#include "phone.h"

namespace korvex::cli {

enum class ProgressMode { Auto, Always, Never };

// What every command shares: the session, opened on first use so that local
// mistakes are reported without touching the network.
class Context {
 public:
  Context(std::string address, std::string password)
      : address_(std::move(address)), password_(std::move(password)) {}
  Phone& phone();

 private:
  std::string address_;
  std::string password_;
  std::unique_ptr<Phone> phone_;
};

struct CopyOptions {
  double startTimeoutSeconds = 10.0;
  ProgressMode progress = ProgressMode::Auto;
};

int listCommand(Context& context, const std::string& path, bool directories);
int statCommand(Context& context, const std::string& path);
int moveCommand(Context& context, const std::string& source, const std::string& dest);
int removeCommand(Context& context, const std::string& path);
int removeDirectoryCommand(Context& context, const std::string& path, bool recursive);
int makeDirectoryCommand(Context& context, const std::string& path);
int chownCommand(Context& context, const std::string& path, int owner, int group);
int freeSpaceCommand(Context& context, const std::string& path);
int stateCommand(Context& context);
enum class Power { Shutdown, Reboot, Restart };
int powerCommand(Context& context, Power what);

int getCommand(Context& context, const std::string& phonePath, const std::string& localPath,
               const CopyOptions& options);
int putCommand(Context& context, const std::string& localPath, const std::string& phonePath,
               const CopyOptions& options);

}  // namespace korvex::cli
