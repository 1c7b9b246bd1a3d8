#include "phone_tree.h"

namespace korvex::cli {

namespace {

void walk(const korvex::Session& phone, const std::string& path, const std::string& prefix, std::size_t depth,
          PhoneTreeVisitor& visitor) {
  const auto directories = phone.directories(path);
  const auto files = phone.files(path);
  if (!directories || !files) {
    visitor.unlisted(path, depth);
    return;
  }
  const std::size_t count = directories->size() + files->size();
  std::size_t seen = 0;
  for (const std::string& name : *directories) {
    const PhoneEntry entry{path, name, prefix + name, true, ++seen == count, depth};
    if (visitor.enter(entry)) walk(phone, entry.path(), entry.relative + "/", depth + 1, visitor);
  }
  for (const std::string& name : *files) visitor.file({path, name, prefix + name, false, ++seen == count, depth});
}

}  // namespace

void walkPhoneTree(const korvex::Session& phone, const std::string& root, PhoneTreeVisitor& visitor) {
  walk(phone, root, "", 0, visitor);
}

}  // namespace korvex::cli
