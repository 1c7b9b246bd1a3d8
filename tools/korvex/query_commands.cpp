// stat, df and state: questions about a phone path or the session.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "json.h"
#include "phone_glob.h"
#include "progress.h"
#include "text.h"

namespace korvex::cli {

namespace {

struct PathQuery {
  std::string path;
  bool json = false;
};

void statPath(const korvex::Session& phone, const std::string& path, const PathQuery& query) {
  // Kind and size in one round trip.
  const korvex::Result<korvex::PathStatus> status = phone.status(path);
  if (!status) throw refusal(phone, "stat", path);
  if (status->kind == korvex::PathKind::missing) {
    if (query.json) std::printf("%s\n", JsonObject().add("path", path).add("exists", false).str().c_str());
    throw refusal(phone, "stat", path);
  }
  if (status->kind == korvex::PathKind::unsized) throw refusal(phone, "stat", path, "the phone refused to tell its size");
  const bool directory = status->kind == korvex::PathKind::directory;
  const std::int64_t size = status->size;
  if (query.json) {
    JsonObject object;
    object.add("path", path).add("exists", true).add("type", directory ? "directory" : "file");
    if (!directory) object.add("size", size);
    std::printf("%s\n", object.str().c_str());
  } else {
    std::printf("path: %s\nexists: yes\ntype: %s\n", shown(path).c_str(), directory ? "directory" : "file");
    if (!directory) std::printf("size: %lld\n", static_cast<long long>(size));
  }
}

// A pattern's matches one block each, blank lines between them (JSON: one
// object a line); one that fails is reported and the rest go on.
int statCommand(Context& context, const PathQuery& query) {
  const korvex::Session& phone = context.phone();
  const std::vector<PhoneMatch> matches = expandPhonePattern(phone, "stat", query.path);
  if (matches.size() == 1) {
    statPath(phone, matches.front().path, query);
    return kOk;
  }
  int code = kOk;
  for (const PhoneMatch& match : matches) {
    if (!query.json && &match != &matches.front()) std::printf("\n");
    try {
      statPath(phone, match.path, query);
    } catch (const Failure& failure) {
      if (failure.code == kBroken) throw;
      printMessage(failure.message);
      if (code == kOk) code = failure.code;
    }
  }
  return code;
}

int freeSpaceCommand(Context& context, const PathQuery& query) {
  const korvex::Session& phone = context.phone();
  const korvex::Result<std::uint32_t> space = phone.free_space(query.path);
  if (!space) throw refusal(phone, "df", query.path);
  const std::int64_t word = *space;
  if (query.json) {
    std::printf("%s\n", JsonObject().add("path", query.path).add("free", word).add("unit", "KiB").str().c_str());
  } else {
    std::printf("%s: %s free\n", shown(query.path).c_str(), formatBytes(word * 1024).c_str());
  }
  return kOk;
}

struct StateQuery {
  bool json = false;
};

int stateCommand(Context& context, const StateQuery& query) {
  const korvex::Session::State state = context.phone().state();
  if (query.json) {
    std::printf("%s\n", JsonObject()
                            .add("connected", state.connected)
                            .add("address", state.address)
                            .add("device", state.device)
                            .str()
                            .c_str());
  } else {
    std::printf("connected: %s\naddress: %s\ndevice: %s\n", state.connected ? "yes" : "no",
                shown(state.address).c_str(), shown(state.device).c_str());
  }
  return state.connected ? kOk : kBroken;
}

}  // namespace

const AddCommand addStat = [](CLI::App& app, Run& run) {
  pathSubcommand(app, run, "stat", "show whether a phone path exists, its type and size", &statCommand, "phone path",
                 {"--json", &PathQuery::json, "one JSON object of {path, exists, type, size}"});
};

const AddCommand addFreeSpace = [](CLI::App& app, Run& run) {
  pathSubcommand(app, run, "df", "show the free space for a phone path (the phone's word read as KiB)",
                 &freeSpaceCommand, "phone path",
                 {"--json", &PathQuery::json, "one JSON object with the phone's raw word as free, and its unit"});
};

const AddCommand addState = [](CLI::App& app, Run& run) {
  const auto state = subcommand(app, run, "state", "connect and show the connection state, address and device name",
                                &stateCommand);
  state.app->add_flag("--json", state.options->json, "one JSON object of {connected, address, device}");
};

}  // namespace korvex::cli
