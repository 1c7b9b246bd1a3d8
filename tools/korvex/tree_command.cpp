// tree: the tree below a phone directory, drawn with rails.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "korvex.hpp"
#include "text.h"

namespace korvex::cli {

namespace {

// Prints each entry after the rails of its ancestors: subdirectories first,
// then files; a rail shows that its level still has entries below.
class TreePrinter : public korvex::TreeVisitor {
 public:
  explicit TreePrinter(const korvex::Session& phone) : phone_(phone) {}

  bool unlisted(const std::string& path, std::size_t depth, const korvex::Reason&) override {
    if (depth == 0) throw directoryRefusal(phone_, "tree", path);
    const Failure failure = refusal(phone_, "tree", path, "cannot be listed");
    if (failure.code == kBroken) throw failure;
    std::printf("%s[cannot be listed]\n", indent(depth).c_str());
    incomplete = true;
    return true;
  }
  bool enter(const korvex::TreeEntry& directory) override {
    print(directory);
    ++directories;
    return true;
  }
  void file(const korvex::TreeEntry& file) override {
    print(file);
    ++files;
  }

  std::size_t directories = 0, files = 0;
  bool incomplete = false;

 private:
  void print(const korvex::TreeEntry& entry) {
    std::printf("%s%s%s%s\n", indent(entry.depth).c_str(), entry.last ? "\u2514\u2500\u2500 " : "\u251c\u2500\u2500 ",
                shown(entry.name).c_str(), entry.is_directory ? "/" : "");
    lastAtDepth_.resize(entry.depth);
    lastAtDepth_.push_back(entry.last);
  }

  // The walk goes depth first: the latest entry seen at each shallower depth
  // is an ancestor.
  std::string indent(std::size_t depth) const {
    std::string text;
    for (std::size_t level = 0; level < depth; ++level) text += lastAtDepth_[level] ? "    " : "\u2502   ";
    return text;
  }

  const korvex::Session& phone_;
  std::vector<bool> lastAtDepth_;
};

struct TreeOptions {
  std::string path;
};

int treeCommand(Context& context, const TreeOptions& options) {
  const korvex::Session& phone = context.phone();
  if (!yes(phone.is_directory(options.path))) throw directoryRefusal(phone, "tree", options.path);
  TreePrinter printer(phone);
  std::printf("%s\n", shown(options.path).c_str());
  korvex::walk_tree(phone, options.path, printer);
  std::printf("\n%zu %s, %zu %s\n", printer.directories, printer.directories == 1 ? "directory" : "directories",
              printer.files, printer.files == 1 ? "file" : "files");
  return printer.incomplete ? kRefused : kOk;
}

}  // namespace

const AddCommand addTree = [](CLI::App& app, Run& run) {
  pathSubcommand(app, run, "tree", "draw the tree below a phone directory", &treeCommand, "phone directory");
};

}  // namespace korvex::cli
