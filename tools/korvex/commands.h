// The korvex commands. Each returns an exit code or throws Failure.
#pragma once

#include <memory>
#include <string>
#include <vector>

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

struct ListOptions {
  // Default: the files alone in a plain listing, everything with -l, -R or
  // --json.
  enum class Which { Default, Files, Directories, All };
  Which which = Which::Default;
  bool longFormat = false;  // type and size per entry
  bool recursive = false;   // the whole tree, paths relative to the directory
  bool json = false;
};

// Several files, or whole trees, copied by parallel background copies.
struct TreeCopyOptions {
  CopyOptions copy;
  bool recursive = false;
  int jobs = 4;
};

int listCommand(Context& context, const std::string& path, const ListOptions& options);
int treeCommand(Context& context, const std::string& path);
int statCommand(Context& context, const std::string& path, bool json);
int moveCommand(Context& context, const std::string& source, const std::string& dest);
int removeCommand(Context& context, const std::string& path);
int removeDirectoryCommand(Context& context, const std::string& path, bool recursive);
int makeDirectoryCommand(Context& context, const std::string& path, bool parents);
int chownCommand(Context& context, const std::string& path, int owner, int group);
int freeSpaceCommand(Context& context, const std::string& path, bool json);
int stateCommand(Context& context, bool json);
enum class Power { Shutdown, Reboot, Restart };
int powerCommand(Context& context, Power what);

int getCommand(Context& context, const std::string& phonePath, const std::string& localPath,
               const CopyOptions& options);
int putCommand(Context& context, const std::string& localPath, const std::string& phonePath,
               const CopyOptions& options);
int getTreeCommand(Context& context, const std::vector<std::string>& phonePaths, const std::string& localPath,
                   const TreeCopyOptions& options);
int putTreeCommand(Context& context, const std::vector<std::string>& localPaths, const std::string& phonePath,
                   const TreeCopyOptions& options);

}  // namespace korvex::cli
