// The quality engineer's dashboard: pages drawn on the server from the store, read-only. Pages
// are pure functions of the store and the request's parameters; Serve puts them on HTTP.
#pragma once

#include <atomic>
#include <map>
#include <string>

#include "fleet/Store.h"

namespace fleet {

// A request's query parameters, as given (any bytes).
using Params = std::map<std::string, std::string>;

// The page at `path` ("/", "/steps", "/unit", "/run", "/search") with these parameters; false
// (and a "not found" page) for any other path or an unknown run.
bool Page(Store& store, const std::string& path, const Params& params, std::string& html);

// Text as HTML character data or attribute value: markup characters as entities, control
// characters as U+FFFD, the rest (UTF-8) as it is.
std::string Esc(std::string_view text);

// Serves the pages on ADDRESS:PORT until `stop` is set; 0 when it stopped as asked, 2 when it
// could not listen.
int Serve(const std::string& db, const std::string& listen, const std::atomic<bool>& stop);

}  // namespace fleet
