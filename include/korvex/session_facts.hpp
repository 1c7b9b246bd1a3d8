// The facts a diagnosis (diagnosis.hpp) asks, asked of a session's phone:
// the four paths' kinds in one GetKinds, a folder's entries and the free
// space only when a rule needs them. Part of korvex.hpp; Session::why uses
// it with itself as `S`.
#ifndef KORVEX_SESSION_FACTS_HPP
#define KORVEX_SESSION_FACTS_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvex.h"
#include "korvex/diagnosis.hpp"
#include "korvex/errors.hpp"
#include "korvex/paths.hpp"

namespace korvex {

template <typename S>
class SessionFacts final : public diagnosis::Facts {
 public:
  SessionFacts(const S& session, std::string_view path, std::string_view second,
               std::optional<std::uint64_t> upload_size)
      : session_(session), upload_size_(upload_size) {
    paths_[0] = std::string(path);
    paths_[1] = parent_path(path);
    paths_[2] = std::string(second);
    paths_[3] = parent_path(second);
  }
  std::optional<PathStatus> kind(diagnosis::Subject subject) override {
    if (!asked_) {
      asked_ = true;
      std::vector<std::string> known;
      for (const std::string& p : paths_) known.push_back(p.empty() ? "/" : p);
      Result<std::vector<PathStatus>> found = session_.statuses(known);
      if (found) kinds_ = std::move(found).value();
    }
    const std::string& p = paths_[index(subject)];
    // A relative path's folder is the phone's own: there.
    if (p.empty()) return PathStatus{PathKind::directory, 0};
    if (kinds_.empty()) return std::nullopt;
    return kinds_[index(subject)];
  }
  std::optional<bool> has_entries(diagnosis::Subject subject) override {
    const std::optional<PathStatus> status = kind(subject);
    if (!status) return std::nullopt;
    if (status->kind != PathKind::directory) return false;
    // The listing of names alone: the batch asks every file's size too.
    const std::string& p = paths_[index(subject)];
    Result<std::vector<std::string>> dirs = session_.rawNames(&GetDirectories, p);
    if (!dirs) return std::nullopt;
    if (!dirs->empty()) return true;
    Result<std::vector<std::string>> plain = session_.rawNames(&GetFiles, p);
    if (!plain) return std::nullopt;
    return !plain->empty();
  }
  std::optional<bool> short_of_space(diagnosis::Subject subject) override {
    if (!upload_size_) return false;
    // The word's unit is the phone's own (KiB for korvexd): only none at
    // all is sure to be short, as the Python package reads it too.
    const int free = GetSpaceSize(session_.handle(), paths_[index(subject)].c_str());
    return free == 0 && *upload_size_ > 0;
  }

 private:
  static std::size_t index(diagnosis::Subject subject) { return static_cast<std::size_t>(subject); }
  const S& session_;
  std::optional<std::uint64_t> upload_size_;
  std::string paths_[4];
  bool asked_ = false;
  std::vector<PathStatus> kinds_;
};

}  // namespace korvex

#endif  // KORVEX_SESSION_FACTS_HPP
