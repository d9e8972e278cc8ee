// veltrane-log: reads a "Test.log" and prints every line with its message in clear (or, with
// --unit, only one unit's tagged lines; with --json or --html, one record per run). Lines that are
// not log lines are reported on stderr with their line number.
#include <cerrno>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

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
         "       veltrane-log --unit SERIAL FILE|-   only the lines of that unit\n"
         "       veltrane-log --json FILE|-   every run of the log as a record (JSON array)\n"
         "       veltrane-log --html FILE|-   every run of the log as one report page\n"
         "Prints each line of a test log with its message in clear.\n"
         "--unit prints the lines whose message starts with the tag \"<SERIAL> \", as they are\n"
         "(the tag included): the lines a unit's run wrote once another run was under way with\n"
         "it. A run alone tags nothing, so its lines are not among them. SERIAL is matched\n"
         "exactly, against the whole tag (where units look alike, the tag is the combo item).\n"
         "Exit status: 0 all lines were log lines, 1 some were not, 2 usage or I/O error.\n";
}

int UsageError(const std::string& why) {
  std::cerr << "veltrane-log: " << why << '\n';
  PrintUsage(std::cerr);
  return kUsageOrIoError;
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

static int Main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::string_view format;  // "--json", "--html" or empty: the lines in clear
  std::optional<std::string_view> unit;
  std::optional<std::string_view> source;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      PrintUsage(std::cout);
      return kAllLogLines;
    }
    if (argument == "--json" || argument == "--html") {
      if (!format.empty()) return UsageError("give one of --json and --html");
      format = argument;
    } else if (argument == "--unit") {
      if (unit) return UsageError("--unit is given twice");
      if (i + 1 >= argc) return UsageError("--unit needs the unit's serial");
      unit = argv[++i];
      if (unit->empty()) return UsageError("--unit needs the unit's serial, not an empty text");
      for (const char c : *unit) {
        // A log's messages are printable 7-bit text: no tag can hold anything else.
        if (const auto code = static_cast<unsigned char>(c); code < 0x20 || code > 0x7E) {
          return UsageError("--unit " + PrintableText(*unit) +
                            ": a serial in a log holds only printable ASCII characters");
        }
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      return UsageError("unknown option " + PrintableText(argument));
    } else {
      if (source) return UsageError("give one log");
      source = argument;
    }
  }
  if (!source) return UsageError("give the log to read (a file, or - for standard input)");
  if (unit && !format.empty()) {
    return UsageError("--unit prints log lines; it does not go with " + std::string(format));
  }

  std::ifstream file;
  std::istream* in = &std::cin;
  if (*source == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);  // a log is 8-bit bytes, not console text
#endif
  } else {
    file.open(std::string(*source), std::ios::binary);
    if (!file) {
      std::cerr << "veltrane-log: cannot open " << *source << ": "
                << std::generic_category().message(errno) << '\n';
      return kUsageOrIoError;
    }
    in = &file;
  }
  if (!format.empty()) return RenderRecords(format, *in);
  return ReadLogStream(*in, std::cout, std::cerr, unit.value_or(std::string_view()));
}

int main(int argc, char** argv) {
  // Nothing it reads is trusted: whatever escapes is said on stderr, never an abort.
  try {
    return Main(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "veltrane-log: " << error.what() << '\n';
  } catch (...) {
    std::cerr << "veltrane-log: failed\n";
  }
  return kUsageOrIoError;
}
