#include "commands.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "json.h"
#include "progress.h"
#include "text.h"

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

namespace {

struct Entry {
  std::string name;  // relative to the listed directory
  bool directory = false;
  std::int64_t size = -1;  // files, when asked for; -1 unknown
};

// Walks a phone directory: subdirectories first, each followed by what is
// below it when recursive, then the files. A subdirectory that cannot be
// listed is reported and skipped.
class Walker {
 public:
  Walker(const Phone& phone, bool sizes) : phone_(phone), sizes_(sizes) {}

  void walk(const std::string& path, const std::string& prefix, bool recursive, std::vector<Entry>& out) {
    auto directories = phone_.list(path, true);
    auto files = phone_.list(path, false);
    if (!directories || !files) {
      if (prefix.empty()) throw directoryRefusal(phone_, "ls", path);
      const Failure failure = phone_.refusal("ls", path, "cannot be listed");
      printMessage(failure.message);
      if (failure.code == kBroken) throw failure;
      incomplete = true;
      return;
    }
    for (const std::string& name : *directories) {
      out.push_back({prefix + name, true, -1});
      if (recursive) walk(joinPhone(path, name), prefix + name + "/", true, out);
    }
    for (const std::string& name : *files) {
      out.push_back({prefix + name, false, sizes_ ? phone_.fileSize(joinPhone(path, name)) : -1});
    }
  }

  bool incomplete = false;

 private:
  const Phone& phone_;
  bool sizes_;
};

std::string entryJson(const Entry& entry) {
  JsonObject object;
  object.add("name", entry.name).add("type", entry.directory ? "directory" : "file");
  if (!entry.directory) {
    if (entry.size >= 0) {
      object.add("size", entry.size);
    } else {
      object.raw("size", "null");
    }
  }
  return object.str();
}

}  // namespace

int listCommand(Context& context, const std::string& path, const ListOptions& asked) {
  ListOptions options = asked;
  if (options.which == ListOptions::Which::Default) {
    const bool plain = !options.longFormat && !options.recursive && !options.json;
    options.which = plain ? ListOptions::Which::Files : ListOptions::Which::All;
  }
  Phone& phone = context.phone();
  const bool all = options.recursive || options.which == ListOptions::Which::All;
  std::vector<Entry> entries;
  Walker walker(phone, options.longFormat || options.json);
  if (all) {
    walker.walk(path, "", options.recursive, entries);
  } else {
    const bool directories = options.which == ListOptions::Which::Directories;
    auto names = phone.list(path, directories);
    if (!names) throw directoryRefusal(phone, "ls", path);
    for (const std::string& name : *names) {
      entries.push_back({name, directories, directories || !(options.longFormat || options.json)
                                                ? -1
                                                : phone.fileSize(joinPhone(path, name))});
    }
  }
  if (options.which == ListOptions::Which::Directories && options.recursive) {
    std::erase_if(entries, [](const Entry& entry) { return !entry.directory; });
  } else if (options.which == ListOptions::Which::Files && options.recursive) {
    std::erase_if(entries, [](const Entry& entry) { return entry.directory; });
  }

  if (options.json) {
    std::string text = "[";
    for (const Entry& entry : entries) text += (text.size() > 1 ? "," : "") + entryJson(entry);
    std::printf("%s]\n", text.c_str());
  } else {
    for (const Entry& entry : entries) {
      if (options.longFormat) {
        const std::string size = entry.directory ? "-" : entry.size < 0 ? "?" : std::to_string(entry.size);
        std::printf("%c %12s  %s\n", entry.directory ? 'd' : '-', size.c_str(), shown(entry.name).c_str());
      } else {
        const bool mark = entry.directory && options.which == ListOptions::Which::All;
        std::printf("%s%s\n", shown(entry.name).c_str(), mark ? "/" : "");
      }
    }
  }
  return walker.incomplete ? kRefused : kOk;
}

namespace {

struct TreeCounts {
  std::size_t directories = 0, files = 0;
  bool incomplete = false;
};

// Prints what is below `path`, each line after `indent`: subdirectories
// first, then files; the rails show which levels still have entries below.
void printTree(const Phone& phone, const std::string& path, const std::string& indent, TreeCounts& counts) {
  auto directories = phone.list(path, true);
  auto files = phone.list(path, false);
  if (!directories || !files) {
    if (indent.empty()) throw directoryRefusal(phone, "tree", path);
    const Failure failure = phone.refusal("tree", path, "cannot be listed");
    if (failure.code == kBroken) throw failure;
    std::printf("%s[cannot be listed]\n", indent.c_str());
    counts.incomplete = true;
    return;
  }
  const std::size_t count = directories->size() + files->size();
  for (std::size_t i = 0; i < count; ++i) {
    const bool isDirectory = i < directories->size();
    const std::string& name = isDirectory ? (*directories)[i] : (*files)[i - directories->size()];
    const bool last = i + 1 == count;
    std::printf("%s%s%s%s\n", indent.c_str(), last ? "\u2514\u2500\u2500 " : "\u251c\u2500\u2500 ", shown(name).c_str(),
                isDirectory ? "/" : "");
    if (isDirectory) {
      ++counts.directories;
      printTree(phone, joinPhone(path, name), indent + (last ? "    " : "\u2502   "), counts);
    } else {
      ++counts.files;
    }
  }
}

}  // namespace

int treeCommand(Context& context, const std::string& path) {
  Phone& phone = context.phone();
  if (phone.isDirectory(path) != 1) throw directoryRefusal(phone, "tree", path);
  TreeCounts counts;
  std::printf("%s\n", shown(path).c_str());
  printTree(phone, path, "", counts);
  std::printf("\n%zu %s, %zu %s\n", counts.directories, counts.directories == 1 ? "directory" : "directories",
              counts.files, counts.files == 1 ? "file" : "files");
  return counts.incomplete ? kRefused : kOk;
}

int statCommand(Context& context, const std::string& path, bool json) {
  Phone& phone = context.phone();
  const int exists = phone.exists(path);
  if (exists == 0 && json && phone.connected()) {
    std::printf("%s\n", JsonObject().add("path", path).add("exists", false).str().c_str());
  }
  if (exists != 1) throw phone.refusal("stat", path);
  const int directory = phone.isDirectory(path);
  if (directory < 0) throw phone.refusal("stat", path);
  std::int64_t size = -1;
  if (!directory) {
    size = phone.fileSize(path);
    if (size < 0) throw phone.refusal("stat", path, "the phone refused to tell its size");
  }
  if (json) {
    JsonObject object;
    object.add("path", path).add("exists", true).add("type", directory ? "directory" : "file");
    if (!directory) object.add("size", size);
    std::printf("%s\n", object.str().c_str());
  } else {
    std::printf("path: %s\nexists: yes\ntype: %s\n", shown(path).c_str(), directory ? "directory" : "file");
    if (!directory) std::printf("size: %lld\n", static_cast<long long>(size));
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

int makeDirectoryCommand(Context& context, const std::string& path, bool parents) {
  Phone& phone = context.phone();
  if (parents) {
    // Each missing ancestor in turn; one that exists must be a directory.
    std::size_t end = 0;
    while (end != std::string::npos) {
      end = path.find('/', end + 1);
      const std::string prefix = path.substr(0, end);
      if (prefix.empty() || prefix == "/" || prefix.back() == '/') continue;
      if (phone.isDirectory(prefix) == 1) continue;
      if (phone.exists(prefix) == 1) throw Failure{kRefused, "mkdir: " + prefix + ": not a directory"};
      if (!CreatePhoneDirectory(phone.handle(), prefix.c_str()) && phone.isDirectory(prefix) != 1) {
        throw phone.refusal("mkdir", prefix, "the phone refused to create it");
      }
    }
    return kOk;
  }
  if (CreatePhoneDirectory(phone.handle(), path.c_str())) return kOk;
  if (phone.connected()) {
    if (phone.exists(path) == 1) throw Failure{kRefused, "mkdir: " + path + ": already exists"};
    const std::string parent = phoneParent(path);
    if (!parent.empty() && phone.exists(parent) == 0) {
      throw Failure{kRefused, "mkdir: " + path + ": no such directory " + parent + " (use -p)"};
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

int freeSpaceCommand(Context& context, const std::string& path, bool json) {
  Phone& phone = context.phone();
  const int space = GetSpaceSize(phone.handle(), path.c_str());
  // 0 is also what an unsendable request yields: trust it only on a live link.
  if (space == -1 || (space == 0 && !phone.connected())) throw phone.refusal("df", path);
  const std::int64_t word = static_cast<std::uint32_t>(space);
  if (json) {
    std::printf("%s\n", JsonObject().add("path", path).add("free", word).add("unit", "KiB").str().c_str());
  } else {
    std::printf("%s: %s free\n", shown(path).c_str(), formatBytes(word * 1024).c_str());
  }
  return kOk;
}

int stateCommand(Context& context, bool json) {
  Phone& phone = context.phone();
  char connected = 0;
  std::string address(phone.address().size() + 1, '\0');
  char name[64] = {};
  ConnectionState(phone.handle(), &connected, address.data(), name);
  name[sizeof name - 1] = '\0';
  if (json) {
    std::printf("%s\n", JsonObject()
                            .add("connected", connected != 0)
                            .add("address", address.c_str())
                            .add("device", name)
                            .str()
                            .c_str());
  } else {
    std::printf("connected: %s\naddress: %s\ndevice: %s\n", connected ? "yes" : "no", shown(address.c_str()).c_str(),
                shown(name).c_str());
  }
  return connected ? kOk : kBroken;
}

int powerCommand(Context& context, Power what) {
  Phone& phone = context.phone();
  // These always report success: the phone does not confirm before going away.
  switch (what) {
    case Power::Shutdown:
      Shutdown(phone.handle());
      std::printf("asked %s to shut down\n", shown(phone.address()).c_str());
      break;
    case Power::Reboot:
      Reboot(phone.handle());
      std::printf("asked %s to reboot\n", shown(phone.address()).c_str());
      break;
    case Power::Restart:
      Restart(phone.handle());
      std::printf("asked %s to restart its service\n", shown(phone.address()).c_str());
      break;
  }
  return kOk;
}

}  // namespace korvex::cli
