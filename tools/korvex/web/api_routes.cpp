#include "api_routes.h"

#include "browser_paths.h"
#include "refusals.h"

namespace korvex::web {

namespace {

using nlohmann::json;
using Request = httplib::Request;
using Response = httplib::Response;

const char* kindName(korvex::PathKind kind) {
  switch (kind) {
    case korvex::PathKind::directory: return "directory";
    case korvex::PathKind::file: return "file";
    case korvex::PathKind::unsized: return "file";
    case korvex::PathKind::missing: break;
  }
  return "missing";
}

// A string member of the body that is a browserPath, or nothing after
// answering 400.
std::optional<std::string> bodyPath(const json& body, Response& response, const char* name = "path") {
  const auto found = body.find(name);
  if (found != body.end() && found->is_string()) {
    if (std::optional<std::string> path = browserPath(found->get<std::string>())) return path;
  }
  sendError(response, badPath(name));
  return std::nullopt;
}

std::optional<std::string> bodyName(const json& body, Response& response) {
  const auto found = body.find("name");
  if (found == body.end() || !found->is_string()) {
    sendError(response, badName());
    return std::nullopt;
  }
  return found->get<std::string>();
}

void state(WebContext& context, const Request&, Response& response) {
  sendJson(response, {{"connected", context.phone.connected()}});
}

void list(WebContext& context, const Request& request, Response& response) {
  const std::optional<std::string> path = pathParam(request, response);
  if (!path) return;
  const SessionRef phone = sessionFor(context, response);
  if (!phone) return;
  // The listing every host shows; where the phone refused the batch, the
  // files' sizes are asked in one pipelined pass, but for a path too long to
  // ask about, whose size is unknown (null).
  const korvex::Result<std::vector<korvex::Session::Entry>> listed = phone->listing(*path);
  if (!listed) return sendError(response, refusal(*phone, listed.error(), Operation::list, *path));
  const auto askable = [&path](const korvex::Session::Entry& entry) {
    return entry.kind == korvex::FileKind::file && !entry.sized &&
           korvex::join_path(*path, entry.name).size() <= korvex::kMaxPath;
  };
  std::vector<std::string> unsized;
  for (const korvex::Session::Entry& entry : *listed) {
    if (askable(entry)) unsized.push_back(korvex::join_path(*path, entry.name));
  }
  korvex::Result<std::vector<std::int64_t>> asked = std::vector<std::int64_t>{};
  if (!unsized.empty()) asked = phone->sizes(unsized);
  if (!asked) return sendError(response, refusal(*phone, asked.error(), Operation::list, *path));
  std::size_t next = 0;
  json entries = json::array();
  for (const korvex::Session::Entry& entry : *listed) {
    const bool directory = entry.kind == korvex::FileKind::directory;
    json item = {{"name", entry.name}, {"kind", directory ? "directory" : "file"}, {"size", entry.size}};
    if (askable(entry)) {
      const std::int64_t size = (*asked)[next++];
      if (size < 0) continue;  // gone since it was listed
      item["size"] = size;
    } else if (!directory && !entry.sized) {
      item["size"] = nullptr;
    }
    entries.push_back(std::move(item));
  }
  sendJson(response, {{"path", *path}, {"entries", std::move(entries)}});
}

void stat(WebContext& context, const Request& request, Response& response) {
  const std::optional<std::string> path = pathParam(request, response);
  if (!path) return;
  const SessionRef phone = sessionFor(context, response);
  if (!phone) return;
  const korvex::Result<korvex::PathStatus> status = phone->status(*path);
  if (!status) return sendError(response, refusal(*phone, status.error(), Operation::stat, *path));
  if (status->kind == korvex::PathKind::missing) return sendError(response, {404, "not_found", *path + ": no such file or folder"});
  json answer = {{"path", *path}, {"kind", kindName(status->kind)}};
  if (status->kind == korvex::PathKind::file) answer["size"] = status->size;
  sendJson(response, answer);
}

void space(WebContext& context, const Request& request, Response& response) {
  const std::optional<std::string> path = pathParam(request, response);
  if (!path) return;
  const SessionRef phone = sessionFor(context, response);
  if (!phone) return;
  const korvex::Result<std::uint32_t> free = phone->free_space(*path);
  if (!free) return sendError(response, refusal(*phone, free.error(), Operation::space, *path));
  // The phone answers in KiB.
  sendJson(response, {{"path", *path}, {"free_kib", *free}, {"free_bytes", std::uint64_t{*free} * 1024}});
}

void makeDirectory(WebContext& context, const Request& request, Response& response) {
  const std::optional<json> body = jsonBody(request, response);
  if (!body) return;
  const std::optional<std::string> parent = bodyPath(*body, response);
  if (!parent) return;
  const std::optional<std::string> name = bodyName(*body, response);
  if (!name) return;
  const std::optional<std::string> path = childPath(*parent, *name);
  if (!path) return sendError(response, badName());
  const SessionRef phone = sessionFor(context, response);
  if (!phone) return;
  if (const korvex::Status made = phone->make_directory(*path); !made) {
    return sendError(response, refusal(*phone, made.error(), Operation::makeDirectory, *path));
  }
  sendJson(response, {{"path", *path}}, 201);
}

void rename(WebContext& context, const Request& request, Response& response) {
  const std::optional<json> body = jsonBody(request, response);
  if (!body) return;
  const std::optional<std::string> source = bodyPath(*body, response);
  if (!source) return;
  const std::optional<std::string> name = bodyName(*body, response);
  if (!name) return;
  if (*source == "/") return sendError(response, badPath("path"));
  const std::optional<std::string> dest = childPath(korvex::parent_path(*source), *name, korvex::kMaxRenameDest);
  if (!dest) return sendError(response, badName());
  const SessionRef phone = sessionFor(context, response);
  if (!phone) return;
  // The phone would put a source into a folder of the new name: refuse
  // that here, since the page asked for a new name, not a move.
  if (const korvex::Answer there = phone->exists(*dest); there.yes()) {
    return sendError(response, {409, "already_exists", *dest + ": exists"});
  }
  if (const korvex::Status renamed = phone->rename(*source, *dest); !renamed) {
    return sendError(response, refusal(*phone, renamed.error(), Operation::rename, *source, *dest));
  }
  sendJson(response, {{"path", *dest}});
}

void remove(WebContext& context, const Request& request, Response& response) {
  const std::optional<json> body = jsonBody(request, response);
  if (!body) return;
  const std::optional<std::string> path = bodyPath(*body, response);
  if (!path) return;
  if (*path == "/") return sendError(response, {400, "bad_path", "the phone's root cannot be deleted"});
  const bool recursive = body->value("recursive", false);
  const SessionRef phone = sessionFor(context, response);
  if (!phone) return;
  const korvex::Result<korvex::PathStatus> status = phone->status(*path);
  if (!status) return sendError(response, refusal(*phone, status.error(), Operation::remove, *path));
  const bool directory = status->kind == korvex::PathKind::directory;
  const korvex::Status removed = directory ? phone->remove_directory(*path, recursive) : phone->remove(*path);
  if (!removed) return sendError(response, refusal(*phone, removed.error(), Operation::remove, *path));
  sendJson(response, {{"path", *path}});
}

}  // namespace

void addApiRoutes(httplib::Server& server, WebContext& context) {
  using Route = void (*)(WebContext&, const Request&, Response&);
  const auto bind = [&context](Route route) {
    return [&context, route](const Request& request, Response& response) { route(context, request, response); };
  };
  server.Get("/api/state", bind(state));
  server.Get("/api/list", bind(list));
  server.Get("/api/stat", bind(stat));
  server.Get("/api/space", bind(space));
  server.Post("/api/mkdir", bind(makeDirectory));
  server.Post("/api/rename", bind(rename));
  server.Post("/api/delete", bind(remove));
}

}  // namespace korvex::web
