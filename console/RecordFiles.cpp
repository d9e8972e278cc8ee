// Records as files: temporary file, flush, then a rename that cannot replace a file.
#include "console/RecordFiles.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "console/RecordReport.h"

namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> tempCounter{0};

// A temporary name in the folder, unique within this program (the ".tmp" files of a crash are
// never a record's name).
fs::path TempPath(const fs::path& folder) {
  return folder / ("~writing-" + std::to_string(tempCounter.fetch_add(1)) + ".tmp");
}

bool WriteTemp(const fs::path& path, const std::string& text, std::string& error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  if (out) return true;
  error = "cannot write " + path.filename().string();
  out.close();
  std::error_code ignored;
  fs::remove(path, ignored);
  return false;
}

bool EnsureFolder(const fs::path& folder, std::string& error) {
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return true;
  if (fs::create_directory(folder, ec) || fs::is_directory(folder)) return true;
  error = ec ? ec.message() : "not a folder";
  return false;
}

fs::path AsidePath(const fs::path& target) {
  fs::path aside = target;
  aside += ".old";
  return aside;
}

// The text whole in a temporary file of the folder (made if need be); its path in `temp`.
bool WriteBeside(const fs::path& folder, const std::string& text, fs::path& temp,
                 std::string& error) {
  if (!EnsureFolder(folder, error)) return false;
  temp = TempPath(folder);
  return WriteTemp(temp, text, error);
}

}  // namespace

bool WriteNewFile(const std::string& folder, const std::string& name, const std::string& text,
                  std::string& error) {
  fs::path temp;
  if (!WriteBeside(folder, text, temp, error)) return false;
  const fs::path target = fs::path(folder) / name;
  std::error_code ec;
  // A hard link fails when the name exists: nothing is ever replaced. File systems without
  // links (FAT on a USB stick) get a rename after a check instead.
  fs::create_hard_link(temp, target, ec);
  if (ec && ec != std::errc::file_exists && !fs::exists(target)) {
    ec.clear();
    fs::rename(temp, target, ec);
  }
  std::error_code ignored;
  fs::remove(temp, ignored);
  if (!ec) return true;
  error = ec == std::errc::file_exists ? "the name is taken" : ec.message();
  return false;
}

bool ReplaceFile(const std::string& folder, const std::string& name, const std::string& text,
                 std::string& error) {
  fs::path temp;
  if (!WriteBeside(folder, text, temp, error)) return false;
  const fs::path target = fs::path(folder) / name;
  std::error_code ec;
  std::error_code ignored;
  fs::rename(temp, target, ec);
  if (ec && fs::exists(target, ignored)) {
    // Windows' rename does not replace a file: the old one steps aside first, so a crash in
    // between leaves both the old text (".old") and the new one on disk.
    const fs::path aside = AsidePath(target);
    fs::remove(aside, ignored);
    ec.clear();
    fs::rename(target, aside, ec);
    if (!ec) {
      fs::rename(temp, target, ec);
      if (ec) {
        fs::rename(aside, target, ignored);
      } else {
        fs::remove(aside, ignored);
      }
    }
  }
  if (!ec) return true;
  error = ec.message();
  fs::remove(temp, ignored);
  return false;
}

bool RecordKeeper::TryWrite(Pending& p, std::string& failure) {
  std::string error;
  if (p.baseName.empty()) {
    const std::string base = RecordBaseName(p.record);
    const std::string json =
        RecordJson(p.record).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    const std::string html = RecordHtml(p.record);
    // Two runs ending in the same second: "-2", "-3", ... on the second and later.
    for (int suffix = 1; suffix <= 99 && p.baseName.empty(); ++suffix) {
      const std::string name = suffix == 1 ? base : base + "-" + std::to_string(suffix);
      std::error_code ec;
      if (fs::exists(fs::path(kRecordFolder) / (name + ".html"), ec)) continue;
      if (!WriteNewFile(kRecordFolder, name + ".json", json, error)) {
        if (error == "the name is taken") continue;
        failure = std::string(kRecordFolder) + "/" + name + ".json: " + error;
        return false;
      }
      if (!WriteNewFile(kRecordFolder, name + ".html", html, error)) {
        std::error_code ignored;
        fs::remove(fs::path(kRecordFolder) / (name + ".json"), ignored);
        if (error == "the name is taken") continue;
        failure = std::string(kRecordFolder) + "/" + name + ".html: " + error;
        return false;
      }
      p.baseName = name;
    }
    if (p.baseName.empty()) {
      failure = std::string(kRecordFolder) + "/" + base + ".json: every name is taken";
      return false;
    }
  }
  if (!p.historyWritten) {
    std::string history;
    const fs::path historyPath = fs::path(kRecordFolder) / kHistoryFile;
    std::error_code ignored;
    // A replacement cut short on Windows left the old history aside: it is still the history.
    const bool cut =
        !fs::exists(historyPath, ignored) && fs::exists(AsidePath(historyPath), ignored);
    {
      // Closed before the replacement: Windows renames no file that is open.
      std::ifstream in(cut ? AsidePath(historyPath) : historyPath, std::ios::binary);
      if (in) {
        std::ostringstream text;
        text << in.rdbuf();
        history = text.str();
      }
    }
    // The header once, with a byte order mark so that a spreadsheet reads the file as UTF-8.
    if (history.empty()) history = "\xEF\xBB\xBF" + HistoryHeader();
    if (history.back() != '\n') history += "\r\n";
    history += HistoryLine(p.record, p.baseName + ".json");
    if (!ReplaceFile(kRecordFolder, kHistoryFile, history, error)) {
      failure = std::string(kRecordFolder) + "/" + kHistoryFile + ": " + error;
      return false;
    }
    p.historyWritten = true;
  }
  return true;
}

void RecordKeeper::Keep(const RunRecord& record) {
  pending_.push_back({record, {}, false});
  if (pending_.size() > kMaxPendingRecords) {
    failureLines_.push_back("Record dropped, too many unwritten: " +
                            RecordBaseName(pending_.front().record));
    pending_.pop_front();
  }
  while (!pending_.empty()) {
    std::string failure;
    if (!TryWrite(pending_.front(), failure)) {
      failureLines_.push_back("Could not write " + failure);
      return;  // later records wait too, so that history.csv keeps the order of the runs
    }
    pending_.pop_front();
  }
}

std::vector<std::string> RecordKeeper::TakeFailureLines() {
  std::vector<std::string> lines;
  lines.swap(failureLines_);
  return lines;
}
