// The JSON API's routes, each a few lines over a korvex::Session.
#pragma once

#include <httplib.h>

#include "web_context.h"

namespace korvex::web {

// GET /api/state, list, stat, space; POST /api/mkdir, rename, delete.
void addApiRoutes(httplib::Server& server, WebContext& context);
// PUT /api/upload, GET /api/download.
void addTransferRoutes(httplib::Server& server, WebContext& context);

}  // namespace korvex::web
