// ls: a phone directory's files, subdirectories or both, or its whole tree.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "glob.h"
#include "json.h"
#include "phone_glob.h"
#include "korvex.hpp"
#include "progress.h"
#include "text.h"

namespace korvex::cli {

namespace {

struct ListOptions {
  enum class Which { Files, Directories, All };
  std::string path = "/";  // the root when none is given (the shell's working directory there)
  Which which = Which::All;
  bool longFormat = false;  // type and size per entry
  bool human = false;       // sizes as 1.5K, 3.4M
  bool classify = false;    // a trailing / on every directory, also with -d and -l
  bool recursive = false;   // the whole tree, paths relative to the directory
  bool itself = false;      // the path itself, not what it holds (ls -d)
  bool json = false;
};

struct Entry {
  std::string name;  // relative to the listed directory
  bool directory = false;
  std::int64_t size = -1;  // files, when asked for; -1 unknown
};

// Collects what the walk finds. A subdirectory that cannot be listed is
// reported and skipped.
class Collector : public korvex::TreeVisitor {
 public:
  Collector(const korvex::Session& phone, bool recursive, bool sizes)
      : phone_(phone), recursive_(recursive), sizes_(sizes) {}

  bool unlisted(const std::string& path, std::size_t depth, const korvex::Reason&) override {
    if (depth == 0) throw directoryRefusal(phone_, "ls", path);
    const Failure failure = refusal(phone_, "ls", path, "cannot be listed");
    printMessage(failure.message);
    if (failure.code == kBroken) throw failure;
    incomplete = true;
    return true;
  }
  bool enter(const korvex::TreeEntry& directory) override {
    entries.push_back({directory.relative, true, -1});
    return recursive_;
  }
  void file(const korvex::TreeEntry& file) override {
    std::int64_t size = -1;
    if (sizes_) size = file.size >= 0 ? file.size : sizeOrUnknown(phone_.file_size(file.path()));
    entries.push_back({file.relative, false, size});
  }

  std::vector<Entry> entries;
  bool incomplete = false;

 private:
  const korvex::Session& phone_;
  bool recursive_;
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

void print(const std::vector<Entry>& entries, const ListOptions& options) {
  if (options.json) {
    std::string text = "[";
    for (const Entry& entry : entries) text += (text.size() > 1 ? "," : "") + entryJson(entry);
    std::printf("%s]\n", text.c_str());
    return;
  }
  for (const Entry& entry : entries) {
    const bool both = options.which == ListOptions::Which::All && !options.longFormat;
    const bool mark = entry.directory && (options.classify || both) && !entry.name.ends_with('/');
    const std::string name = shown(entry.name) + (mark ? "/" : "");
    if (options.longFormat) {
      const std::string size = entry.directory  ? "-"
                               : options.human ? humanSize(entry.size)
                               : entry.size < 0 ? "?"
                                                : std::to_string(entry.size);
      std::printf("%c %12s  %s\n", entry.directory ? 'd' : '-', size.c_str(), name.c_str());
    } else if (options.human) {
      std::printf("%6s  %s\n", entry.directory ? "-" : humanSize(entry.size).c_str(), name.c_str());
    } else {
      std::printf("%s\n", name.c_str());
    }
  }
}

// A pattern's matches, files and directories alike unless -f or -d, named
// below the pattern's fixed start.
int listMatches(const korvex::Session& phone, const ListOptions& options) {
  using Which = ListOptions::Which;
  if (options.recursive) throw Failure{kUsage, "ls: -R takes a directory, not a pattern"};
  const bool sizes = options.longFormat || options.json || options.human;
  std::vector<Entry> entries;
  for (const PhoneMatch& match : expandPhonePattern(phone, "ls", options.path)) {
    if ((options.which == Which::Files && match.isDirectory) ||
        (options.which == Which::Directories && !match.isDirectory)) {
      continue;
    }
    std::int64_t size = -1;
    if (sizes && !match.isDirectory) size = match.size >= 0 ? match.size : sizeOrUnknown(phone.file_size(match.path));
    entries.push_back({match.relative, match.isDirectory, size});
  }
  print(entries, options);
  return kOk;
}

// The entries of the directory `options.path`, into the collector.
void collect(const korvex::Session& phone, const ListOptions& options, Collector& collector) {
  const bool sizes = options.longFormat || options.json || options.human;
  std::vector<Entry>& entries = collector.entries;
  if (options.recursive || options.which == ListOptions::Which::All) {
    korvex::walk_tree(phone, options.path, collector);
  } else if (sizes && options.which == ListOptions::Which::Files) {
    const auto listed = korvex::tree_names(phone, options.path);
    if (!listed) throw asFailure("ls", options.path, listed.reason());
    for (const korvex::TreeName& item : *listed) {
      if (item.is_directory) continue;
      const std::int64_t size =
          item.size >= 0 ? item.size : sizeOrUnknown(phone.file_size(korvex::join_path(options.path, item.name)));
      entries.push_back({item.name, false, size});
    }
  } else {
    const bool directories = options.which == ListOptions::Which::Directories;
    auto names = directories ? phone.directories(options.path) : phone.files(options.path);
    if (!names) throw asFailure("ls", options.path, names.reason());
    for (const std::string& name : *names) {
      const bool sized = sizes && !directories;
      entries.push_back(
          {name, directories, sized ? sizeOrUnknown(phone.file_size(korvex::join_path(options.path, name))) : -1});
    }
  }
}

// A file named to ls is shown as ls shows one, under the path given.
std::optional<Entry> fileEntry(const korvex::Session& phone, const std::string& path) {
  const korvex::Result<korvex::PathStatus> status = phone.status(path);
  if (!status || (status->kind != korvex::PathKind::file && status->kind != korvex::PathKind::unsized)) {
    return std::nullopt;
  }
  const bool sized = status->kind == korvex::PathKind::file;
  return Entry{path, false, sized ? std::int64_t{status->size} : -1};
}

int listCommand(Context& context, const ListOptions& asked) {
  ListOptions options = asked;
  const korvex::Session& phone = context.phone();
  if (isPattern(options.path)) {
    if (hasWildcards(options.path)) return listMatches(phone, options);
    options.path = expandPhonePattern(phone, "ls", options.path).front().path;
  }
  const bool sizes = options.longFormat || options.json || options.human;
  if (options.itself) {
    const korvex::Result<korvex::PathStatus> status = phone.status(options.path);
    if (!status || status->kind == korvex::PathKind::missing) throw refusal(phone, "ls", options.path);
    const bool directory = status->kind == korvex::PathKind::directory;
    const bool sized = status->kind == korvex::PathKind::file;
    print({{options.path, directory, sized ? std::int64_t{status->size} : -1}}, options);
    return kOk;
  }
  Collector collector(phone, options.recursive, sizes);
  std::vector<Entry>& entries = collector.entries;
  try {
    collect(phone, options, collector);
  } catch (const Failure& failure) {
    // Asked only once the listing failed: a directory costs nothing more.
    const std::optional<Entry> file = failure.code == kRefused ? fileEntry(phone, options.path) : std::nullopt;
    if (!file) throw;
    if (options.which != ListOptions::Which::Directories) entries.push_back(*file);
  }
  if (options.which == ListOptions::Which::Directories && options.recursive) {
    std::erase_if(entries, [](const Entry& entry) { return !entry.directory; });
  } else if (options.which == ListOptions::Which::Files && options.recursive) {
    std::erase_if(entries, [](const Entry& entry) { return entry.directory; });
  }
  print(entries, options);
  return collector.incomplete ? kRefused : kOk;
}

}  // namespace

const AddCommand addList = [](CLI::App& app, Run& run) {
  using Which = ListOptions::Which;
  const auto ls = subcommand(app, run, "ls",
                             "list a phone directory: its subdirectories (marked with /) and files, or with -l "
                             "type and size; a file is listed as itself",
                             &listCommand);
  const std::shared_ptr<ListOptions> options = ls.options;
  // -h is the sizes' here, as for ls itself.
  ls.app->set_help_flag("--help", "Print this help message and exit");
  auto* directories = ls.app->add_flag_callback(
      "-D,--directories", [options] { options->which = Which::Directories; }, "only the subdirectories");
  auto* files = ls.app->add_flag_callback("-f,--files", [options] { options->which = Which::Files; },
                                          "only the files");
  ls.app
      ->add_flag_callback("-a,--all", [options] { options->which = Which::All; },
                          "subdirectories (marked with a trailing /) and files: the default")
      ->excludes(directories)
      ->excludes(files);
  files->excludes(directories);
  ls.app->add_flag("-l,--long", options->longFormat, "show the type (d or -) and the size in bytes of each entry");
  ls.app->add_flag("-h,--human-readable", options->human, "sizes in K, M, G (powers of 1024, rounded up)");
  ls.app->add_flag("-F,--classify", options->classify, "mark every directory with a trailing /, also with -D and -l");
  auto* recursive = ls.app->add_flag("-R,--recursive", options->recursive, "the whole tree, as paths relative to PATH");
  ls.app->add_flag("-d,--directory", options->itself, "the directory itself, not what it holds (as ls -d)")
      ->excludes(recursive)
      ->excludes(directories)
      ->excludes(files);
  ls.app->add_flag("--json", options->json, "one JSON array of {name, type, size}");
  addPhonePath(ls.app, "PATH", options->path, "phone directory (the root without one) or file")->required(false);
};

}  // namespace korvex::cli
