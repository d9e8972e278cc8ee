// Records as files through the platform: temporary file, then a link or a rename that cannot
// replace a file.
#include "report/RecordFiles.h"

#include <atomic>

#include "report/RecordReport.h"
#include "report/TestLog.h"

namespace {

std::atomic<unsigned> tempCounter{0};

std::string PathIn(const std::string& folder, const std::string& name) {
  return folder + "/" + name;
}

bool Exists(const std::string& path) {
  return platform::ThePlatform().GetFileAttributesA(path.c_str()) !=
         platform::kInvalidFileAttributes;
}

// Why the platform's last call failed, in the system's words.
std::string ErrorOf(std::uint32_t code) {
  return platform::ThePlatform().ErrorText(code);
}

std::uint32_t LastError() {
  return platform::ThePlatform().GetLastError();
}

// A temporary name in the folder, unique within this program (the ".tmp" files of a crash are
// never a record's name).
std::string TempName() {
  return "~writing-" + std::to_string(tempCounter.fetch_add(1)) + ".tmp";
}

// The reason is the platform's (access denied, disk full, ...): the temporary name means nothing
// to the operator, and the failure line names the record.
bool WriteTemp(const std::string& path, const std::string& text, std::string& error) {
  auto& os = platform::ThePlatform();
  const platform::Handle file =
      os.CreateFileA(path.c_str(), platform::kGenericWrite, 0, platform::kCreateAlways);
  if (file == platform::kInvalidHandle) {
    error = ErrorOf(LastError());
    return false;
  }
  const bool written = WriteAllBytes(file, text);
  std::uint32_t code = written ? 0 : LastError();
  if (!os.CloseHandle(file) && code == 0) code = LastError();
  if (written && code == 0) return true;
  // A write that took nothing but did not fail leaves no reason behind.
  error = code != 0 ? ErrorOf(code) : "not written whole";
  os.DeleteFileA(path.c_str());
  return false;
}

bool EnsureFolder(const std::string& folder, std::string& error) {
  auto& os = platform::ThePlatform();
  auto isFolder = [&] {
    const std::uint32_t attributes = os.GetFileAttributesA(folder.c_str());
    return attributes != platform::kInvalidFileAttributes &&
           (attributes & platform::kFileAttributeDirectory) != 0;
  };
  if (isFolder()) return true;
  if (os.CreateDirectoryA(folder.c_str())) return true;
  const std::uint32_t code = LastError();
  if (isFolder()) return true;  // made by someone else meanwhile
  error = code == static_cast<std::uint32_t>(platform::kErrorAlreadyExists) ? "not a folder"
                                                                            : ErrorOf(code);
  return false;
}

std::string AsidePath(const std::string& target) {
  return target + ".old";
}

// The text whole in a temporary file of the folder (made if need be); its path in `temp`.
bool WriteBeside(const std::string& folder, const std::string& text, std::string& temp,
                 std::string& error) {
  if (!EnsureFolder(folder, error)) return false;
  temp = PathIn(folder, TempName());
  return WriteTemp(temp, text, error);
}

// Reads the whole file; empty when it cannot be opened.
std::string ReadWhole(const std::string& path) {
  auto& os = platform::ThePlatform();
  const platform::Handle file = os.CreateFileA(path.c_str(), platform::kGenericRead,
                                               platform::kFileShareRead, platform::kOpenExisting);
  std::string text;
  if (file == platform::kInvalidHandle) return text;
  char buffer[16384];
  std::uint32_t done = 0;
  while (os.ReadFile(file, buffer, sizeof buffer, &done) && done > 0 && done <= sizeof buffer) {
    text.append(buffer, done);
  }
  os.CloseHandle(file);
  return text;
}

// "TestRecords/NAME.json: reason", the failure line's text.
std::string Failure(const std::string& name, const std::string& error) {
  std::string text = PathIn(kRecordFolder, name);
  text += ": ";
  text += error;
  return text;
}

}  // namespace

bool WriteNewFile(const std::string& folder, const std::string& name, const std::string& text,
                  std::string& error) {
  std::string temp;
  if (!WriteBeside(folder, text, temp, error)) return false;
  auto& os = platform::ThePlatform();
  const std::string target = PathIn(folder, name);
  const auto taken = static_cast<std::uint32_t>(platform::kErrorAlreadyExists);
  // A hard link fails when the name exists: nothing is ever replaced. File systems without
  // links (FAT on a USB stick) get a move that never replaces instead.
  bool ok = os.CreateHardLinkA(target.c_str(), temp.c_str());
  std::uint32_t code = ok ? 0 : LastError();
  if (!ok && code != taken && !Exists(target)) {
    ok = os.MoveFileExA(temp.c_str(), target.c_str(), 0);
    code = ok ? 0 : LastError();
  }
  if (Exists(temp)) os.DeleteFileA(temp.c_str());
  if (ok) return true;
  error = code == taken ? "the name is taken" : ErrorOf(code);
  return false;
}

bool ReplaceFile(const std::string& folder, const std::string& name, const std::string& text,
                 std::string& error) {
  std::string temp;
  if (!WriteBeside(folder, text, temp, error)) return false;
  auto& os = platform::ThePlatform();
  const std::string target = PathIn(folder, name);
  bool ok = os.MoveFileExA(temp.c_str(), target.c_str(), platform::kMovefileReplaceExisting);
  std::uint32_t code = ok ? 0 : LastError();
  if (!ok && Exists(target)) {
    // Windows does not replace a file that is open: the old one steps aside first, so a crash
    // in between leaves both the old text (".old") and the new one on disk.
    const std::string aside = AsidePath(target);
    if (Exists(aside)) os.DeleteFileA(aside.c_str());
    ok = os.MoveFileExA(target.c_str(), aside.c_str(), 0);
    code = ok ? 0 : LastError();
    if (ok) {
      ok = os.MoveFileExA(temp.c_str(), target.c_str(), 0);
      code = ok ? 0 : LastError();
      if (ok) {
        os.DeleteFileA(aside.c_str());
      } else {
        os.MoveFileExA(aside.c_str(), target.c_str(), 0);
      }
    }
  }
  if (ok) return true;
  error = ErrorOf(code);
  os.DeleteFileA(temp.c_str());
  return false;
}

bool RecordKeeper::TryWrite(Pending& p, bool withHistory, std::string& failure) {
  std::string error;
  if (p.baseName.empty()) {
    const std::string base = RecordBaseName(p.record);
    const std::string json = RecordJsonText(p.record);
    const std::string html = RecordHtml(p.record);
    // Runs ending in the same second: "-2", "-3", ... on the second and later, as many as there
    // are. A name is passed over only for a file that holds it, so the search ends within the
    // folder's files; it starts after the last name given to this base.
    int suffix = base == lastBase_ ? lastSuffix_ + 1 : 1;
    for (; p.baseName.empty(); ++suffix) {
      const std::string name = suffix == 1 ? base : base + "-" + std::to_string(suffix);
      if (Exists(PathIn(kRecordFolder, name + ".html"))) continue;
      if (!WriteNewFile(kRecordFolder, name + ".json", json, error)) {
        if (error == "the name is taken") continue;
        failure = Failure(name + ".json", error);
        return false;
      }
      if (!WriteNewFile(kRecordFolder, name + ".html", html, error)) {
        platform::ThePlatform().DeleteFileA(PathIn(kRecordFolder, name + ".json").c_str());
        if (error == "the name is taken") continue;
        failure = Failure(name + ".html", error);
        return false;
      }
      p.baseName = name;
      lastBase_ = base;
      lastSuffix_ = suffix;
    }
  }
  if (!p.historyWritten && withHistory) {
    const std::string historyPath = PathIn(kRecordFolder, kHistoryFile);
    // A replacement cut short on Windows left the old history aside: it is still the history.
    const bool cut = !Exists(historyPath) && Exists(AsidePath(historyPath));
    // Read whole and closed before the replacement: Windows renames no file that is open.
    std::string history = ReadWhole(cut ? AsidePath(historyPath) : historyPath);
    // The header once, with a byte order mark so that a spreadsheet reads the file as UTF-8.
    if (history.empty()) history = "\xEF\xBB\xBF" + HistoryHeader();
    if (history.back() != '\n') history += "\r\n";
    history += HistoryLine(p.record, p.baseName + ".json");
    if (!ReplaceFile(kRecordFolder, kHistoryFile, history, error)) {
      failure =
          Failure(std::string(kHistoryFile) + " (the line of " + p.baseName + ".json)", error);
      return false;
    }
    // The history is whole under its name again: what stood aside is an older copy of it.
    if (cut) platform::ThePlatform().DeleteFileA(AsidePath(historyPath).c_str());
    p.historyWritten = true;
  }
  return true;
}

void RecordKeeper::Keep(const RunRecord& record) {
  pending_.push_back({record, {}, false, false});
  if (pending_.size() > kMaxPendingRecords) {
    NoteFailure("Record dropped, too many unwritten: " + RecordBaseName(pending_.front().record));
    pending_.pop_front();
  }
  // Every record's own files are tried; history.csv takes the lines in the order of the runs,
  // so a record whose line could not be written holds back the later ones' lines. A record
  // that has no name yet holds back nothing: its line follows once it is written.
  bool historyInOrder = true;
  for (Pending& p : pending_) {
    std::string failure;
    if (!TryWrite(p, historyInOrder, failure) && !p.reported) {
      // Each record is named once, with what kept it out; later tries that fail say nothing new.
      NoteFailure("Could not write " + failure);
      p.reported = true;
    }
    historyInOrder = historyInOrder && (p.historyWritten || p.baseName.empty());
  }
  std::erase_if(pending_, [](const Pending& p) { return p.historyWritten; });
}

void RecordKeeper::NoteFailure(std::string line) {
  everyFailure_.push_back(line);
  failureLines_.push_back(std::move(line));
}

std::vector<std::string> RecordKeeper::TakeFailureLines() {
  std::vector<std::string> lines;
  lines.swap(failureLines_);
  return lines;
}
