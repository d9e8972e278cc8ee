// The simulated bench's registry: an in-memory HKEY_LOCAL_MACHINE with Win32's reading rules.
// Owned by SimPlatform; the bench loader and the host facts fill it through the Set* calls.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Platform.h"

namespace platform::sim {

// The bytes of a REG_BINARY value holding text as Windows stores it in MountedDevices: UTF-16LE,
// one 16-bit unit per 8-bit character, no terminator.
std::vector<std::uint8_t> Utf16LeBytes(std::string_view text);

// Key paths are relative to HKEY_LOCAL_MACHINE, separated by backslashes and compared without
// regard to ASCII case, like Windows ("SYSTEM\CurrentControlSet\Enum\USB"). Value names too.
// Every call is thread-safe (one mutex); none blocks beyond that lock.
class SimRegistry {
 public:
  SimRegistry();
  ~SimRegistry();
  SimRegistry(const SimRegistry&) = delete;
  SimRegistry& operator=(const SimRegistry&) = delete;

  // --- Filling (bench loader, host facts, tests). Missing parent keys are created. ------------
  void CreateKey(std::string_view path);
  // REG_SZ, stored with its terminating zero.
  void SetString(std::string_view path, std::string_view name, std::string_view text);
  // REG_MULTI_SZ: each string with its zero, then one more zero.
  void SetMultiString(std::string_view path, std::string_view name,
                      const std::vector<std::string>& texts);
  void SetBinary(std::string_view path, std::string_view name, std::span<const std::uint8_t> bytes);
  void SetDword(std::string_view path, std::string_view name, std::uint32_t value);
  // Any type, bytes stored as given (for example a REG_SZ without its terminator, as a
  // careless driver installer may leave it).
  void SetValue(std::string_view path, std::string_view name, std::uint32_t type,
                std::span<const std::uint8_t> bytes);
  // Removes a key with all its subkeys. Handles still open on it stay valid, but reading
  // through them answers kErrorKeyDeleted, as on Windows. False when there was no such key.
  bool DeleteKey(std::string_view path);
  bool DeleteValue(std::string_view path, std::string_view name);
  bool KeyExists(std::string_view path) const;

  // --- Reading, shaped after the Win32 calls (see platform::Platform for the contracts). ---------
  // A null or empty subKey opens the root itself. A leading backslash is kErrorBadPathname;
  // a trailing one is ignored.
  long OpenKey(const char* subKey, Handle* key);
  // On kErrorMoreData the caller's buffer is left untouched (Windows leaves it undefined, so
  // no caller may rely on it either way); *size then holds the size the value needs.
  long QueryValue(Handle key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                  std::uint32_t* size);
  // Subkeys come in Windows' order: sorted by name without regard to case.
  long EnumKey(Handle key, std::uint32_t index, char* name, std::uint32_t size);
  long CloseKey(Handle key);
  // Keys opened and not yet closed (leak checks in tests).
  std::size_t OpenKeyCount() const;

 private:
  struct Node;
  Node* FindLocked(std::string_view path) const;
  Node* MakeLocked(std::string_view path);
  Node* NodeOfLocked(Handle key) const;

  mutable std::mutex mutex_;
  // Keys belong to their parents. Handles, and the paths found below, point at them without a
  // share of ownership: opening a key then writes nothing into it, which matters when a scan
  // opens thousands of keys that lie far apart.
  std::unique_ptr<Node> root_;
  std::unordered_map<Handle, Node*> open_;
  // Deleted keys, kept while handles may still point at them (until no key is open).
  std::vector<std::unique_ptr<Node>> deleted_;
  // Paths found so far (folded to lower case) and their keys; forgotten when a key is deleted.
  // The paths lie one after another in the order they were first found, which is the order a
  // scan asks for them again; the table beside them holds only their hashes and keys, so a
  // look-up reads one slot and a stretch of text its neighbours have just read.
  class FoundPaths {
   public:
    Node* Find(std::string_view folded, std::size_t hash) const;
    void Add(std::string_view folded, std::size_t hash, Node* node);
    void Clear();

   private:
    struct Path {
      std::uint32_t at;  // in texts_
      std::uint32_t size;
      Node* node;
    };
    // Eight bytes a slot, so that the table of a large bench stays in the nearer caches.
    struct Slot {
      std::uint32_t hash = 0;  // its low half
      std::uint32_t path = 0;  // 1 + its index in paths_; 0 for a free slot
    };
    void Place(Slot slot);
    std::vector<Slot> slots_;  // a power of two long, at most half full
    std::vector<Path> paths_;  // in the order they were found
    std::string texts_;
  };
  mutable FoundPaths found_;
  mutable std::string foldBuffer_;
  Handle nextHandle_;
};

}  // namespace platform::sim
