// The OS seam: every call the system makes of the operating system goes through here.
// Shaped after the Win32 calls it stands for; one backend per program (win32 or sim), installed
// once in main() with SetPlatform. The backend owns every handle it hands out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace platform {

// Handles are opaque integers; kInvalidHandle is INVALID_HANDLE_VALUE (-1).
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Win32 result codes the callers test.
inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorInvalidHandle = 6;
inline constexpr long kErrorInvalidParameter = 87;
inline constexpr long kErrorBadPathname = 161;
inline constexpr long kErrorMoreData = 234;
inline constexpr long kErrorNoMoreItems = 259;
inline constexpr long kErrorKeyDeleted = 1018;
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 0x102;

// Registry value types (REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ).
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// CreateFileA access and creation values the system uses.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kFileShareRead = 1;
inline constexpr std::uint32_t kFileShareWrite = 2;
inline constexpr std::uint32_t kCreateAlways = 2;
inline constexpr std::uint32_t kOpenExisting = 3;

// Local date and time as GetLocalTime gives it (SYSTEMTIME, with hundredths instead of ms).
struct LocalTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int hundredths = 0;
};

// GlobalMemoryStatus: the legacy 32-bit status (SIZE_T is 32 bits in the product), so values
// above 4 GiB are clamped to 0xFFFFFFFF exactly as Windows reports them to a 32-bit program.
struct MemoryStatus {
  std::uint32_t totalPhys = 0;
  std::uint32_t availPhys = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Synchronisation and time -------------------------------------------------------------
  // Local date and time. Non-blocking; any thread.
  virtual LocalTime GetLocalTime() = 0;
  // CreateEventA(NULL, manualReset, initialState, NULL). Non-blocking; any thread.
  virtual Handle CreateEventA(bool manualReset, bool initialState) = 0;
  // WaitForSingleObject on an event: blocks the caller until signalled or timeoutMs passed.
  // Returns kWaitObject0 or kWaitTimeout; kWaitTimeout also for an unknown handle, after the wait.
  virtual std::uint32_t WaitForSingleObject(Handle event, std::uint32_t timeoutMs) = 0;
  // CloseHandle for events, files, pipes and drives. False for an unknown handle.
  virtual bool CloseHandle(Handle handle) = 0;

  // --- Registry (ANSI interface, HKEY_LOCAL_MACHINE root) -------------------------------------
  // RegOpenKeyExA(HKLM, subKey, 0, KEY_READ). Non-blocking; any thread; kErrorFileNotFound if
  // the key does not exist.
  virtual long RegOpenKeyExA(const char* subKey, Handle* key) = 0;
  // RegQueryValueExA: copies the value's bytes (strings with their terminating zero) into
  // data, up to *size bytes; *size becomes the value's full size. kErrorMoreData when the
  // buffer is too small (the buffer's content is then undefined, as on Windows: callers must
  // not trust it), kErrorFileNotFound when the value is missing. data may be null to size.
  virtual long RegQueryValueExA(Handle key, const char* valueName, std::uint32_t* type,
                                std::uint8_t* data, std::uint32_t* size) = 0;
  // RegEnumKeyA: the name of the index-th subkey, zero-terminated, into name[size].
  // kErrorNoMoreItems past the last one.
  virtual long RegEnumKeyA(Handle key, std::uint32_t index, char* name, std::uint32_t size) = 0;
  virtual long RegCloseKey(Handle key) = 0;
  // GlobalMemoryStatus. Non-blocking.
  virtual MemoryStatus GlobalMemoryStatus() = 0;

  // --- Files ----------------------------------------------------------------------------------
  // CreateFileA(path, access, share, NULL, creation, 0, NULL): plain files in the current
  // directory, and (later) pipes and drives. kInvalidHandle on failure.
  virtual Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t creation) = 0;
  // ReadFile/WriteFile, blocking and not overlapped. *done receives the bytes moved.
  virtual bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* done) = 0;
  virtual bool WriteFile(Handle file, const void* buffer, std::uint32_t size,
                         std::uint32_t* done) = 0;

  // --- Program resources ----------------------------------------------------------------------
  // FindResource + LoadResource + LockResource + SizeofResource for the custom type "ITEM".
  // An empty span when the resource is missing. The bytes live as long as the program.
  virtual std::span<const std::uint8_t> LoadItemResource(const char* name) = 0;
};

// The installed backend. SetPlatform is called once by main() (or a test fixture) before any
// other part of the system runs; the caller keeps the object alive while it is installed.
Platform& ThePlatform();
void SetPlatform(Platform* backend);

// Convenience used by the runner and the command link: the system's sleep is a timed wait on an
// event that nobody signals.
inline void PauseOn(Handle event, std::uint32_t ms) {
  ThePlatform().WaitForSingleObject(event, ms);
}

}  // namespace platform
