#include "commands.h"

#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

namespace korvex::cli {

Phone& Context::phone() {
  if (!phone_) phone_ = std::make_unique<Phone>(address_, password_);
  return *phone_;
}

namespace {

// The failure for a directory request on something that is not one.
Failure directoryRefusal(const Phone& phone, const std::string& what, const std::string& path,
                         const std::string& hint = {}) {
  if (phone.exists(path) == 1 && phone.isDirectory(path) == 0) {
    return {kRefused, what + ": " + path + ": not a directory"};
  }
  return phone.refusal(what, path, hint);
}

// The names of a "a/b/c/" listing, in the phone's order.
std::vector<std::string> splitListing(std::string_view text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t slash = text.find('/', start);
    if (slash == std::string_view::npos) slash = text.size();
    if (slash > start) names.emplace_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  return names;
}

bool hasEntries(const Phone& phone, const std::string& path) {
  for (auto list : {&GetFiles, &GetDirectories}) {
    char* buffer = nullptr;
    int length = list(phone.handle(), path.c_str(), &buffer);
    if (length > 0) FreeBuffer(buffer);
    if (length != 0) return true;
  }
  return false;
}

}  // namespace

int listCommand(Context& context, const std::string& path, bool directories) {
  Phone& phone = context.phone();
  char* buffer = nullptr;
  const int length = directories ? GetDirectories(phone.handle(), path.c_str(), &buffer)
                                 : GetFiles(phone.handle(), path.c_str(), &buffer);
  if (length < 0) throw directoryRefusal(phone, "ls", path);
  if (length == 0) return kOk;
  const std::vector<std::string> names = splitListing(std::string_view(buffer, static_cast<std::size_t>(length)));
  FreeBuffer(buffer);
  for (const std::string& name : names) std::printf("%s\n", name.c_str());
  return kOk;
}

int statCommand(Context& context, const std::string& path) {
  Phone& phone = context.phone();
  const int exists = phone.exists(path);
  if (exists != 1) throw phone.refusal("stat", path);
  const int directory = phone.isDirectory(path);
  if (directory < 0) throw phone.refusal("stat", path);
  std::printf("path: %s\nexists: yes\ntype: %s\n", path.c_str(), directory ? "directory" : "file");
  if (!directory) {
    const int size = FileSize(phone.handle(), path.c_str());
    if (size < 0 && size != -1) {
      std::printf("size: 2 GiB or more\n");  // the library's int cannot hold it
    } else if (size == -1) {
      throw phone.refusal("stat", path, "the phone refused to tell its size");
    } else {
      std::printf("size: %d\n", size);
    }
  }
  return kOk;
}

int moveCommand(Context& context, const std::string& source, const std::string& dest) {
  Phone& phone = context.phone();
  if (Rename(phone.handle(), source.c_str(), dest.c_str())) return kOk;
  Failure failure = phone.refusal("mv", source);
  if (failure.code == kRefused && phone.exists(source) == 1) {
    if (phone.exists(dest) == 1) {
      failure.message = "mv: " + source + " -> " + dest + ": the destination exists";
    } else if (phone.exists(phoneParent(dest)) == 0) {
      failure.message = "mv: " + source + " -> " + dest + ": no such directory " + phoneParent(dest);
    } else {
      failure.message = "mv: " + source + " -> " + dest + ": the phone refused the rename";
    }
  }
  throw failure;
}

int removeCommand(Context& context, const std::string& path) {
  Phone& phone = context.phone();
  if (DeletePhoneFile(phone.handle(), path.c_str())) return kOk;
  throw phone.refusal("rm", path, phone.isDirectory(path) == 1 ? "is a directory (use rmdir)" : "");
}

int removeDirectoryCommand(Context& context, const std::string& path, bool recursive) {
  Phone& phone = context.phone();
  if (DeleteDirectory(phone.handle(), path.c_str(), recursive)) return kOk;
  std::string hint;
  if (!recursive && phone.isDirectory(path) == 1 && hasEntries(phone, path)) hint = "directory not empty (use -r)";
  throw directoryRefusal(phone, "rmdir", path, hint);
}

int makeDirectoryCommand(Context& context, const std::string& path) {
  Phone& phone = context.phone();
  if (CreatePhoneDirectory(phone.handle(), path.c_str())) return kOk;
  if (phone.connected()) {
    if (phone.exists(path) == 1) throw Failure{kRefused, "mkdir: " + path + ": already exists"};
    const std::string parent = phoneParent(path);
    if (!parent.empty() && phone.exists(parent) == 0) {
      throw Failure{kRefused, "mkdir: " + path + ": no such directory " + parent};
    }
    throw Failure{kRefused, "mkdir: " + path + ": the phone refused to create it"};
  }
  throw phone.refusal("mkdir", path);
}

int chownCommand(Context& context, const std::string& path, int owner, int group) {
  Phone& phone = context.phone();
  std::string mutablePath = path;  // the export takes a non-const char*
  if (Chown(reinterpret_cast<std::uintptr_t>(phone.handle()), mutablePath.data(), owner, group)) return kOk;
  throw phone.refusal("chown", path, "the phone refused owner " + std::to_string(owner) + " group " +
                                         std::to_string(group));
}

int freeSpaceCommand(Context& context, const std::string& path) {
  Phone& phone = context.phone();
  const int space = GetSpaceSize(phone.handle(), path.c_str());
  // 0 is also what an unsendable request yields: trust it only on a live link.
  if (space < 0 || (space == 0 && !phone.connected())) throw phone.refusal("df", path);
  std::printf("%s: %d free\n", path.c_str(), space);
  return kOk;
}

int stateCommand(Context& context) {
  Phone& phone = context.phone();
  char connected = 0;
  std::string address(phone.address().size() + 1, '\0');
  char name[64] = {};
  ConnectionState(phone.handle(), &connected, address.data(), name);
  name[sizeof name - 1] = '\0';
  std::printf("connected: %s\naddress: %s\ndevice: %s\n", connected ? "yes" : "no", address.c_str(), name);
  return connected ? kOk : kBroken;
}

int powerCommand(Context& context, Power what) {
  Phone& phone = context.phone();
  // These always report success: the phone does not confirm before going away.
  switch (what) {
    case Power::Shutdown:
      Shutdown(phone.handle());
      std::printf("asked %s to shut down\n", phone.address().c_str());
      break;
    case Power::Reboot:
      Reboot(phone.handle());
      std::printf("asked %s to reboot\n", phone.address().c_str());
      break;
    case Power::Restart:
      Restart(phone.handle());
      std::printf("asked %s to restart its service\n", phone.address().c_str());
      break;
  }
  return kOk;
}

}  // namespace korvex::cli
