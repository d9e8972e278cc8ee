// The simulated bench's registry: a tree of keys and typed values behind Win32-shaped reads.
#include "platform/sim/SimRegistry.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>

#include "platform/sim/SimIds.h"

namespace platform::sim {
namespace {

// ASCII only, as std::tolower in the "C" locale the programs keep, without a library call per
// character: every registry look-up compares names this way.
char FoldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Windows compares key and value names without regard to case and enumerates in that order.
struct CaseLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return FoldCase(x) < FoldCase(y); });
  }
};

// Hashes a name already folded to lower case; looks up without making a string.
struct FoldedHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const {
    return std::hash<std::string_view>{}(name);
  }
};

// Bytes held in the object itself up to a few hundred, beyond that on the heap: the values of
// most keys then lie right after the key's own fields, in the lines the look-up has just read.
class PackedBytes {
 public:
  const std::uint8_t* data() const { return heap_.empty() ? inline_.data() : heap_.data(); }
  std::size_t size() const { return size_; }

  void Append(const void* from, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(from);
    if (heap_.empty() && size_ + count <= inline_.size()) {
      std::copy_n(bytes, count, inline_.data() + size_);
    } else {
      if (heap_.empty()) heap_.assign(inline_.begin(), inline_.begin() + size_);
      heap_.insert(heap_.end(), bytes, bytes + count);
    }
    size_ += count;
  }

  void Erase(std::size_t at, std::size_t count) {
    std::uint8_t* bytes = heap_.empty() ? inline_.data() : heap_.data();
    std::copy(bytes + at + count, bytes + size_, bytes + at);
    size_ -= count;
    if (!heap_.empty()) heap_.resize(size_);  // empty again: back to the inline bytes
  }

 private:
  std::size_t size_ = 0;
  std::array<std::uint8_t, 232> inline_{};  // while heap_ is empty
  std::vector<std::uint8_t> heap_;          // size_ bytes once they outgrew inline_
};

// A key's values, packed one after another in one buffer: name length, name folded to lower
// case, type, size, bytes. Discovery reads a few values of each of thousands of keys at every
// scan; a look-up here reads a few adjacent bytes instead of walking a tree of nodes allocated
// apart. Values are never enumerated, so their order is free.
class ValueList {
 public:
  struct Found {
    std::uint32_t type;
    std::span<const std::uint8_t> bytes;
  };

  std::optional<Found> Find(std::string_view name) const {
    const std::optional<std::size_t> at = Locate(name);
    if (!at) return std::nullopt;
    const Entry entry = EntryAt(*at);
    return Found{entry.type, {packed_.data() + entry.bytesAt, entry.size}};
  }

  void Set(std::string_view name, std::uint32_t type, std::span<const std::uint8_t> bytes) {
    Erase(name);
    const auto nameSize = static_cast<std::uint32_t>(name.size());
    const auto size = static_cast<std::uint32_t>(bytes.size());
    std::string folded(name);
    for (char& c : folded) c = FoldCase(c);
    packed_.Append(&nameSize, sizeof nameSize);
    packed_.Append(folded.data(), folded.size());
    packed_.Append(&type, sizeof type);
    packed_.Append(&size, sizeof size);
    packed_.Append(bytes.data(), bytes.size());
  }

  bool Erase(std::string_view name) {
    const std::optional<std::size_t> at = Locate(name);
    if (!at) return false;
    const Entry entry = EntryAt(*at);
    packed_.Erase(*at, entry.end - *at);
    return true;
  }

 private:
  struct Entry {
    std::string_view name;  // folded
    std::uint32_t type;
    std::uint32_t size;
    std::size_t bytesAt;
    std::size_t end;
  };

  std::uint32_t Field(std::size_t at) const {
    std::uint32_t value = 0;
    std::memcpy(&value, packed_.data() + at, sizeof value);
    return value;
  }

  Entry EntryAt(std::size_t at) const {
    Entry entry{};
    const std::uint32_t nameSize = Field(at);
    entry.name = {reinterpret_cast<const char*>(packed_.data() + at + 4), nameSize};
    entry.type = Field(at + 4 + nameSize);
    entry.size = Field(at + 8 + nameSize);
    entry.bytesAt = at + 12 + nameSize;
    entry.end = entry.bytesAt + entry.size;
    return entry;
  }

  std::optional<std::size_t> Locate(std::string_view name) const {
    for (std::size_t at = 0; at < packed_.size();) {
      const Entry entry = EntryAt(at);
      if (entry.name.size() == name.size() &&
          std::equal(name.begin(), name.end(), entry.name.begin(),
                     [](char wanted, char folded) { return FoldCase(wanted) == folded; })) {
        return at;
      }
      at = entry.end;
    }
    return std::nullopt;
  }

  PackedBytes packed_;
};

// Splits at backslashes. With skipEmpty, empty pieces are dropped (the forgiving fill side);
// without it an empty piece makes the whole path unusable (the strict reading side).
std::optional<std::vector<std::string_view>> SplitPath(std::string_view path, bool skipEmpty) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t cut = path.find('\\');
    const std::string_view part = path.substr(0, cut);
    if (part.empty() && !skipEmpty) return std::nullopt;
    if (!part.empty()) parts.push_back(part);
    if (cut == std::string_view::npos) break;
    path.remove_prefix(cut + 1);
  }
  return parts;
}

// Handles of keys live in their own range, far from file and event handles, so that a key
// passed to CloseHandle (or a file to RegCloseKey) fails instead of closing something else.
constexpr Handle kFirstKeyHandle = 0x40000000;
constexpr Handle kKeyHandleStep = 4;

}  // namespace

struct SimRegistry::Node {
  // What a value read touches comes first, together.
  bool deleted = false;
  ValueList values;
  std::map<std::string, std::unique_ptr<Node>, CaseLess> subkeys;
  // The same subkeys by folded name: a look-up is one hash, not a walk of compares.
  std::unordered_map<std::string, Node*, FoldedHash, std::equal_to<>> byFolded;
  // The subkey names in enumeration order, so that enumerating n subkeys costs n steps rather
  // than n * n / 2; made at the first enumeration after the subkeys last changed.
  std::vector<const std::string*> names;
  bool namesCurrent = false;

  void MarkDeleted() {
    deleted = true;
    for (auto& entry : subkeys) entry.second->MarkDeleted();
  }

  void SubkeysChanged() {
    namesCurrent = false;
    names.clear();
  }

  const std::string& NameAt(std::size_t index) {
    if (!namesCurrent) {
      names.clear();
      names.reserve(subkeys.size());
      for (const auto& entry : subkeys) names.push_back(&entry.first);
      namesCurrent = true;
    }
    return *names[index];
  }
};

std::vector<std::uint8_t> Utf16LeBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

SimRegistry::SimRegistry() : root_(std::make_unique<Node>()), nextHandle_(kFirstKeyHandle) {}

SimRegistry::~SimRegistry() = default;

SimRegistry::Node* SimRegistry::FindLocked(std::string_view path) const {
  // Discovery opens the same few thousand keys at every scan: a found path is remembered, as
  // Windows' own key cache does, so a look-up costs one hash instead of a walk down the tree.
  std::string& folded = foldBuffer_;  // reused: a look-up allocates nothing once it is known
  folded.assign(path);
  for (char& c : folded) c = FoldCase(c);
  const std::size_t hash = std::hash<std::string_view>{}(folded);
  if (Node* known = found_.Find(folded, hash)) return known;
  const auto parts = SplitPath(folded, false);
  if (!parts) return nullptr;
  Node* node = root_.get();
  for (std::string_view part : *parts) {
    const auto it = node->byFolded.find(part);
    if (it == node->byFolded.end()) return nullptr;
    node = it->second;
  }
  found_.Add(folded, hash, node);
  return node;
}

SimRegistry::Node* SimRegistry::FoundPaths::Find(std::string_view folded, std::size_t hash) const {
  if (slots_.empty()) return nullptr;
  const auto low = static_cast<std::uint32_t>(hash);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = low & mask;; i = (i + 1) & mask) {
    const Slot slot = slots_[i];
    if (slot.path == 0) return nullptr;
    if (slot.hash != low) continue;
    const Path& path = paths_[slot.path - 1];
    if (std::string_view(texts_).substr(path.at, path.size) == folded) return path.node;
  }
}

void SimRegistry::FoundPaths::Add(std::string_view folded, std::size_t hash, Node* node) {
  if ((paths_.size() + 1) * 2 > slots_.size()) {
    const std::vector<Slot> old =
        std::exchange(slots_, std::vector<Slot>(std::max<std::size_t>(64, slots_.size() * 2)));
    for (const Slot& slot : old) {
      if (slot.path != 0) Place(slot);
    }
  }
  paths_.push_back(
      {static_cast<std::uint32_t>(texts_.size()), static_cast<std::uint32_t>(folded.size()), node});
  texts_.append(folded);
  Place({static_cast<std::uint32_t>(hash), static_cast<std::uint32_t>(paths_.size())});
}

void SimRegistry::FoundPaths::Place(Slot slot) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = slot.hash & mask;
  while (slots_[i].path != 0) i = (i + 1) & mask;
  slots_[i] = slot;
}

void SimRegistry::FoundPaths::Clear() {
  slots_.clear();
  paths_.clear();
  texts_.clear();
}

SimRegistry::Node* SimRegistry::MakeLocked(std::string_view path) {
  const auto parts = SplitPath(path, true);  // never empty-handed when skipping empty pieces
  Node* node = root_.get();
  for (std::string_view part : *parts) {
    auto it = node->subkeys.find(part);
    if (it == node->subkeys.end()) {
      it = node->subkeys.emplace(std::string(part), std::make_unique<Node>()).first;
      node->byFolded.emplace(AsciiLower(part), it->second.get());
      node->SubkeysChanged();
    }
    node = it->second.get();
  }
  return node;
}

SimRegistry::Node* SimRegistry::NodeOfLocked(Handle key) const {
  const auto it = open_.find(key);
  return it == open_.end() ? nullptr : it->second;
}

void SimRegistry::CreateKey(std::string_view path) {
  std::lock_guard lock(mutex_);
  MakeLocked(path);
}

void SimRegistry::SetValue(std::string_view path, std::string_view name, std::uint32_t type,
                           std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  MakeLocked(path)->values.Set(name, type, bytes);
}

void SimRegistry::SetString(std::string_view path, std::string_view name, std::string_view text) {
  std::vector<std::uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  SetValue(path, name, kRegSz, bytes);
}

void SimRegistry::SetMultiString(std::string_view path, std::string_view name,
                                 const std::vector<std::string>& texts) {
  std::vector<std::uint8_t> bytes;
  for (const std::string& text : texts) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  bytes.push_back(0);
  SetValue(path, name, kRegMultiSz, bytes);
}

void SimRegistry::SetBinary(std::string_view path, std::string_view name,
                            std::span<const std::uint8_t> bytes) {
  SetValue(path, name, kRegBinary, bytes);
}

void SimRegistry::SetDword(std::string_view path, std::string_view name, std::uint32_t value) {
  // REG_DWORD is little-endian whatever the host.
  const std::uint8_t bytes[4] = {
      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
  SetValue(path, name, kRegDword, bytes);
}

bool SimRegistry::DeleteKey(std::string_view path) {
  std::lock_guard lock(mutex_);
  const auto parts = SplitPath(path, true);
  if (parts->empty()) return false;  // the root stays
  Node* parent = root_.get();
  for (std::size_t i = 0; i + 1 < parts->size(); ++i) {
    const auto it = parent->subkeys.find((*parts)[i]);
    if (it == parent->subkeys.end()) return false;
    parent = it->second.get();
  }
  const auto it = parent->subkeys.find(parts->back());
  if (it == parent->subkeys.end()) return false;
  it->second->MarkDeleted();
  parent->byFolded.erase(AsciiLower(it->first));
  // Open handles may still point into it: it goes when no key is open any more.
  if (!open_.empty()) deleted_.push_back(std::move(it->second));
  parent->subkeys.erase(it);
  found_.Clear();  // the key and those below it are found no more
  parent->SubkeysChanged();
  return true;
}

bool SimRegistry::DeleteValue(std::string_view path, std::string_view name) {
  std::lock_guard lock(mutex_);
  Node* node = FindLocked(path);
  if (node == nullptr) return false;
  return node->values.Erase(name);
}

bool SimRegistry::KeyExists(std::string_view path) const {
  std::lock_guard lock(mutex_);
  return FindLocked(path) != nullptr;
}

long SimRegistry::OpenKey(const char* subKey, Handle* key) {
  if (key == nullptr) return kErrorInvalidParameter;
  std::string_view path = subKey == nullptr ? std::string_view() : std::string_view(subKey);
  if (!path.empty() && path.front() == '\\') return kErrorBadPathname;
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  std::lock_guard lock(mutex_);
  Node* node = FindLocked(path);
  if (node == nullptr) return kErrorFileNotFound;
  *key = nextHandle_;
  nextHandle_ += kKeyHandleStep;
  open_.emplace(*key, node);
  return kErrorSuccess;
}

long SimRegistry::QueryValue(Handle key, const char* valueName, std::uint32_t* type,
                             std::uint8_t* data, std::uint32_t* size) {
  if (data != nullptr && size == nullptr) return kErrorInvalidParameter;
  std::lock_guard lock(mutex_);
  const Node* node = NodeOfLocked(key);
  if (node == nullptr) return kErrorInvalidHandle;
  if (node->deleted) return kErrorKeyDeleted;
  // A null or empty name reads the key's default value.
  const auto value = node->values.Find(valueName == nullptr ? std::string_view() : valueName);
  if (!value) return kErrorFileNotFound;
  if (type != nullptr) *type = value->type;
  if (size == nullptr) return kErrorSuccess;
  const auto full = static_cast<std::uint32_t>(value->bytes.size());
  const bool fits = *size >= full;
  *size = full;
  if (data == nullptr) return kErrorSuccess;
  if (!fits) return kErrorMoreData;
  std::copy(value->bytes.begin(), value->bytes.end(), data);
  return kErrorSuccess;
}

long SimRegistry::EnumKey(Handle key, std::uint32_t index, char* name, std::uint32_t size) {
  if (name == nullptr) return kErrorInvalidParameter;
  std::lock_guard lock(mutex_);
  Node* node = NodeOfLocked(key);
  if (node == nullptr) return kErrorInvalidHandle;
  if (node->deleted) return kErrorKeyDeleted;
  if (index >= node->subkeys.size()) return kErrorNoMoreItems;
  const std::string& found = node->NameAt(index);
  if (found.size() >= size) return kErrorMoreData;
  std::memcpy(name, found.c_str(), found.size() + 1);
  return kErrorSuccess;
}

long SimRegistry::CloseKey(Handle key) {
  std::lock_guard lock(mutex_);
  if (open_.erase(key) != 1) return kErrorInvalidHandle;
  if (open_.empty()) deleted_.clear();
  return kErrorSuccess;
}

std::size_t SimRegistry::OpenKeyCount() const {
  std::lock_guard lock(mutex_);
  return open_.size();
}

}  // namespace platform::sim
