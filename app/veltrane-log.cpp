// veltrane-log: reads a "Test.log" and prints every line with its message in clear. Lines that
// are not log lines are reported on stderr with their line number.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string_view>

#include "report/LogReader.h"
#include "report/RecordJson.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

void PrintUsage(std::ostream& out) {
  out << "usage: veltrane-log FILE\n"
         "       veltrane-log -        (reads the log from standard input)\n"
         "       veltrane-log --json FILE|-   every run of the log as a record (JSON array)\n"
         "       veltrane-log --html FILE|-   every run of the log as one report page\n"
         "Prints each line of a test log with its message in clear.\n"
         "Exit status: 0 all lines were log lines, 1 some were not, 2 usage or I/O error.\n";
}

// --json and --html: the runs of the log as records, as the console would have kept them.
int RenderRecords(std::string_view format, std::istream& in) {
  const std::vector<RunRecord> runs = RecordsFromLog(in);
  if (format == "--json") {
    nlohmann::json records = nlohmann::json::array();
    for (const RunRecord& run : runs) records.push_back(RecordJson(run));
    std::cout << records.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::cout << RecordsHtml(runs);
  }
  std::cout.flush();
  return std::cout ? kAllLogLines : kUsageOrIoError;
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  if (argc == 3 &&
      (std::string_view(argv[1]) == "--json" || std::string_view(argv[1]) == "--html")) {
    if (std::string_view(argv[2]) == "-") {
#ifdef _WIN32
      _setmode(_fileno(stdin), _O_BINARY);
#endif
      return RenderRecords(argv[1], std::cin);
    }
    std::ifstream file(argv[2], std::ios::binary);
    if (!file) {
      std::cerr << "veltrane-log: cannot open " << argv[2] << ": " << std::strerror(errno) << '\n';
      return kUsageOrIoError;
    }
    return RenderRecords(argv[1], file);
  }
  if (argc != 2) {
    PrintUsage(std::cerr);
    return kUsageOrIoError;
  }
  const std::string_view argument = argv[1];
  if (argument == "--help" || argument == "-h") {
    PrintUsage(std::cout);
    return kAllLogLines;
  }
  if (argument == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);  // a log is 8-bit bytes, not console text
#endif
    return ReadLogStream(std::cin, std::cout, std::cerr);
  }
  std::ifstream file(argv[1], std::ios::binary);
  if (!file) {
    std::cerr << "veltrane-log: cannot open " << argv[1] << ": " << std::strerror(errno) << '\n';
    return kUsageOrIoError;
  }
  return ReadLogStream(file, std::cout, std::cerr);
}
