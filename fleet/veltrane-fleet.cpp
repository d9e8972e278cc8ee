// veltrane-fleet: every station's records in one store (SQLite or PostgreSQL), and a read-only
// dashboard over them.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fleet/Dashboard.h"
#include "fleet/Ingest.h"
#include "fleet/Store.h"

namespace {

std::atomic<bool> stopping{false};

void Usage(std::ostream& out) {
  out << "Usage: veltrane-fleet ingest [--db URL] [--watch SECONDS] FOLDER...\n"
         "       veltrane-fleet serve [--db URL] [--listen ADDRESS:PORT]\n"
         "  ingest  stores every run record (*.json, any depth) of the TestRecords folders, each\n"
         "          run once by its run id; prints one line per file it refuses (FILE: reason);\n"
         "          temporary files of records being written are left for a later ingest.\n"
         "          --watch SECONDS: ingest again every SECONDS until interrupted.\n"
         "  serve   the dashboard over HTTP, read-only (default 127.0.0.1:8080).\n"
         "  --db URL  fleet.sqlite (default; an SQLite file, made on first use) or\n"
         "            postgresql://... (a PostgreSQL server).\n"
         "Exit status: 0 when nothing was refused, 1 when a file was refused, 2 on a usage or\n"
         "store error.\n";
}

int RunIngest(const std::string& db, const std::vector<std::string>& folders, int watchSeconds) {
  std::unique_ptr<fleet::Store> store = fleet::OpenStore(db);
  const bool terminal = isatty(STDERR_FILENO) != 0;
  bool anyRefused = false;
  const auto began = std::chrono::steady_clock::now();
  fleet::IngestOptions options;
  options.refusal = [&](const std::string& line) {
    if (terminal) std::fputs("\r\033[K", stderr);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  if (terminal) {
    options.progress = [&](const fleet::IngestTally& t) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      std::fprintf(stderr, "\r\033[K%lld stored, %lld known, %lld unchanged, %lld refused (%.0f/s)",
                   t.stored, t.known, t.unchanged, t.refused,
                   seconds > 0 ? static_cast<double>(t.stored + t.known) / seconds : 0.0);
    };
  }
  // A watch names a refused file once, and again only once it has changed.
  std::map<std::string, std::pair<long long, long long>> refusedBefore;
  if (watchSeconds > 0) options.refusedBefore = &refusedBefore;
  for (;;) {
    const fleet::IngestTally t = fleet::Ingest(*store, folders, options);
    anyRefused = anyRefused || t.refused > 0;
    if (terminal) std::fputs("\r\033[K", stderr);
    std::fprintf(
        stderr,
        "%lld runs stored, %lld known already, %lld unchanged, %lld refused, %lld left for later\n",
        t.stored, t.known, t.unchanged, t.refused, t.later);
    if (watchSeconds <= 0) break;
    for (int i = 0; i < watchSeconds * 10 && !stopping; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (stopping) break;
  }
  return anyRefused ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    Usage(args.empty() ? std::cerr : std::cout);
    return args.empty() ? 2 : 0;
  }
  const std::string command = args[0];
  std::string db = "fleet.sqlite";
  std::string listen = "127.0.0.1:8080";
  int watch = 0;
  std::vector<std::string> folders;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool valued = a == "--db" || a == "--listen" || a == "--watch";
    if (valued && i + 1 >= args.size()) {
      std::cerr << "veltrane-fleet: " << a << " needs a value\n";
      return 2;
    }
    if (a == "--db") {
      db = args[++i];
    } else if (a == "--listen") {
      listen = args[++i];
    } else if (a == "--watch") {
      const std::string& v = args[++i];
      char* end = nullptr;
      const long n = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || n < 1 || n > 86400) {
        std::cerr << "veltrane-fleet: --watch takes seconds from 1 to 86400\n";
        return 2;
      }
      watch = static_cast<int>(n);
    } else if (a.starts_with("--")) {
      std::cerr << "veltrane-fleet: unknown option " << a << "\n";
      return 2;
    } else {
      folders.push_back(a);
    }
  }
  std::signal(SIGINT, [](int) { stopping = true; });
  std::signal(SIGTERM, [](int) { stopping = true; });
  try {
    if (command == "ingest") {
      if (folders.empty()) {
        std::cerr << "veltrane-fleet: ingest needs a folder\n";
        return 2;
      }
      return RunIngest(db, folders, watch);
    }
    if (command == "serve" && folders.empty()) {
      return fleet::Serve(db, listen, stopping);
    }
  } catch (const fleet::StoreError& e) {
    std::cerr << "veltrane-fleet: " << e.what() << "\n";
    return 2;
  }
  Usage(std::cerr);
  return 2;
}
