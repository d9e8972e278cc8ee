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
inline constexpr long kErrorAccessDenied = 5;
inline constexpr long kErrorInvalidHandle = 6;
inline constexpr long kErrorInvalidParameter = 87;
inline constexpr long kErrorBadPathname = 161;
inline constexpr long kErrorAlreadyExists = 183;
inline constexpr long kErrorMoreData = 234;
inline constexpr long kErrorNoMoreItems = 259;
inline constexpr long kErrorOperationAborted = 995;
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

// GetFileAttributesA: no such name (INVALID_FILE_ATTRIBUTES), and the folder bit.
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
// MoveFileExA: replace a file of the new name (MOVEFILE_REPLACE_EXISTING).
inline constexpr std::uint32_t kMovefileReplaceExisting = 1;

// The longest a read, write or control on a device interface (a command pipe, a hub) may take
// before the backend cancels it and fails it. The command link polls its read pipe: an exchange
// reads again at once after an empty read, and the timed link paces its reads about 0.3 s apart
// within a 31 s wait for the whole reply, so a unit that is alive has answered a read long before
// a second; a read still pending after one has no reply coming. Bounded this way, a silent driver
// costs an exchange at most kMaxReadFailures seconds, and the link's own give-up bounds still end
// the command as for a lost link.
inline constexpr std::uint32_t kDeviceIoTimeoutMs = 1000;

// SetThreadExecutionState flags: the state is kept until changed (ES_CONTINUOUS), the system is
// in use (ES_SYSTEM_REQUIRED).
inline constexpr std::uint32_t kEsSystemRequired = 0x00000001u;
inline constexpr std::uint32_t kEsContinuous = 0x80000000u;

// A GUID in its Windows layout (16 bytes).
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};
  friend constexpr bool operator==(const Guid&, const Guid&) = default;
};

// The device interface classes of USB hubs and of USB devices (GUID_DEVINTERFACE_USB_HUB,
// GUID_DEVINTERFACE_USB_DEVICE).
inline constexpr Guid kUsbHubInterfaceClass{
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
inline constexpr Guid kUsbDeviceInterfaceClass{
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// SetupDiGetClassDevsA flags: DIGCF_PRESENT, DIGCF_DEVICEINTERFACE.
inline constexpr std::uint32_t kDigcfPresent = 0x02;
inline constexpr std::uint32_t kDigcfDeviceInterface = 0x10;

// SP_DEVICE_INTERFACE_DATA as the system uses it: which interface of an enumeration. `index`
// stands for the Reserved field: only the backend that filled it reads it.
struct DeviceInterfaceData {
  Guid interfaceClass;
  std::uint32_t flags = 0;
  std::uint32_t index = 0;
};

// GetDriveTypeA results.
inline constexpr std::uint32_t kDriveUnknown = 0;
inline constexpr std::uint32_t kDriveNoRootDir = 1;
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;
inline constexpr std::uint32_t kDriveRemote = 4;
inline constexpr std::uint32_t kDriveCdrom = 5;

// DEV_BROADCAST_DEVICEINTERFACE_A as a notification filter: 32 bytes on Windows (the one-char
// name is padded to the structure's 4-byte alignment).
inline constexpr std::uint32_t kDbtDevtypDeviceInterface = 5;
inline constexpr std::uint32_t kDeviceNotifyWindowHandle = 0;
struct DevBroadcastDeviceInterface {
  std::uint32_t size = 32;
  std::uint32_t deviceType = kDbtDevtypDeviceInterface;
  std::uint32_t reserved = 0;
  Guid classGuid;
  char name[4] = {};
};
static_assert(sizeof(DevBroadcastDeviceInterface) == 32);

// The longest single timed wait PauseUntil makes; a longer pause is several of them (INFINITE,
// 0xFFFFFFFF, must never be asked for).
inline constexpr std::uint32_t kMaxPauseMs = 0x7FFFFFFFu;

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
  // Local date and time: for log lines, records and the result dialog only. It jumps when the
  // clock is set, at a daylight-saving change and goes round at midnight, so no interval is
  // measured on it. Non-blocking; any thread.
  virtual LocalTime GetLocalTime() = 0;
  // A count of milliseconds that only moves on, evenly, whatever the time of day does; its origin
  // means nothing. Every interval the system measures (the command link's bounds, repetitions
  // and read pacing, discovery's share of time per unit) counts on it. Non-blocking; any thread.
  virtual std::uint64_t MonotonicMs() = 0;
  // Pauses the caller until MonotonicMs has reached untilMs (returns at once when it has): timed
  // waits on `event`, one that nobody signals, each for what is left. The caller's core is free
  // meanwhile; the pause ends at the moment, or at the first tick of the system's timer after
  // it. Any thread.
  virtual void PauseUntil(Handle event, std::uint64_t untilMs) {
    for (std::uint64_t now = MonotonicMs(); now < untilMs; now = MonotonicMs()) {
      const std::uint64_t left = untilMs - now;
      WaitForSingleObject(event,
                          left > kMaxPauseMs ? kMaxPauseMs : static_cast<std::uint32_t>(left));
    }
  }
  // The local time for noting when something happened (a record's step times): as GetLocalTime,
  // but a backend whose clock moves on with every read leaves it where it is, so that noting a
  // time never changes a run's timing. Non-blocking; any thread.
  virtual LocalTime PeekLocalTime() { return GetLocalTime(); }
  // GetComputerNameA: the station's NetBIOS name; empty when it cannot be read. Non-blocking;
  // any thread.
  virtual std::string GetComputerNameA() { return {}; }
  // Fills `size` bytes from the system's cryptographic source (a run's identity); false when
  // there is none, and the caller makes do without. Non-blocking; any thread.
  virtual bool GenRandom(void* out, std::size_t size) {
    (void)out;
    (void)size;
    return false;
  }
  // The station's offset from UTC now, in minutes east (+60 for UTC+01:00), so that a local time
  // read with it names one instant. Non-blocking; any thread.
  virtual int UtcOffsetMinutes() { return 0; }
  // CreateEventA(NULL, manualReset, initialState, NULL). Non-blocking; any thread.
  virtual Handle CreateEventA(bool manualReset, bool initialState) = 0;
  // WaitForSingleObject on an event: blocks the caller until signalled or timeoutMs passed.
  // Returns kWaitObject0 or kWaitTimeout; kWaitTimeout also for an unknown handle, after the wait.
  virtual std::uint32_t WaitForSingleObject(Handle event, std::uint32_t timeoutMs) = 0;
  // CloseHandle for events, files, pipes and drives. False for an unknown handle.
  virtual bool CloseHandle(Handle handle) = 0;
  // A run's worker thread: enrolled by the thread that starts it (the ticket), begun as the
  // worker's first act and ended as its last. A simulated clock uses them to let several runs
  // take turns on one virtual time; a real system's threads need nothing of them.
  virtual std::uint64_t EnrolWorker() { return 0; }
  virtual void BeginWorker(std::uint64_t /*ticket*/) {}
  virtual void EndWorker() {}

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
  // directory, device interfaces ("\\?\..."; hubs and command pipes) and drives ("\\.\E:").
  // kInvalidHandle on failure, with the reason in GetLastError.
  virtual Handle CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                             std::uint32_t creation) = 0;
  // ReadFile/WriteFile: block the caller until done. On a device interface neither takes longer
  // than kDeviceIoTimeoutMs (and as long again for the cancel to take): a transfer the driver
  // has not completed by then is cancelled and fails as any failed read or write, with
  // kErrorOperationAborted. *done receives the bytes moved.
  virtual bool ReadFile(Handle file, void* buffer, std::uint32_t size, std::uint32_t* done) = 0;
  virtual bool WriteFile(Handle file, const void* buffer, std::uint32_t size,
                         std::uint32_t* done) = 0;

  // DeviceIoControl(file, code, in, inSize, out, outSize, returned, NULL): blocks until the
  // device has answered; on a device interface (hub controls) within kDeviceIoTimeoutMs as for
  // ReadFile, on a drive as its driver decides (a tray request carries its own time-out). Any
  // thread. The buffers hold the Windows byte layouts of platform/DeviceControl.h. False when
  // the handle or the request is refused; with kErrorMoreData (GetLastError) the output holds
  // the *returned bytes that fitted.
  virtual bool DeviceIoControl(Handle file, std::uint32_t code, const void* in,
                               std::uint32_t inSize, void* out, std::uint32_t outSize,
                               std::uint32_t* returned) {
    (void)file, (void)code, (void)in, (void)inSize, (void)out, (void)outSize;
    if (returned != nullptr) *returned = 0;
    return false;
  }

  // CancelIoEx(file, NULL): cancels the transfers in flight on file, whichever thread started
  // them; each then fails with kErrorOperationAborted. Returns at once, without waiting for them
  // to end; any thread. False when nothing was in flight or the handle is unknown.
  virtual bool CancelIoEx(Handle file) {
    (void)file;
    return false;
  }

  // --- Folders and names (the run records' folder next to "Test.log") ------------------------
  // Each blocks the caller for the file system only; any thread. A false result leaves the
  // reason in GetLastError. The defaults answer as a machine with no file system.
  //
  // CreateDirectoryA(path, NULL): false with kErrorAlreadyExists when the name is taken, by a
  // folder or by a file.
  virtual bool CreateDirectoryA(const char* path) {
    (void)path;
    return false;
  }
  // GetFileAttributesA: kInvalidFileAttributes when the name is not there; else the attribute
  // bits, kFileAttributeDirectory among them for a folder.
  virtual std::uint32_t GetFileAttributesA(const char* path) {
    (void)path;
    return kInvalidFileAttributes;
  }
  // MoveFileExA(from, to, flags) within one folder. Without kMovefileReplaceExisting it fails
  // with kErrorAlreadyExists when `to` is taken; with it, a file `to` is replaced, except on
  // Windows while that file is open (then it fails and nothing moved).
  virtual bool MoveFileExA(const char* from, const char* to, std::uint32_t flags) {
    (void)from, (void)to, (void)flags;
    return false;
  }
  // CreateHardLinkA(link, existing, NULL): a second name for a file; fails with
  // kErrorAlreadyExists when `link` is taken, and on file systems without links (FAT).
  virtual bool CreateHardLinkA(const char* link, const char* existing) {
    (void)link, (void)existing;
    return false;
  }
  // DeleteFileA: removes the name of a file (never a folder).
  virtual bool DeleteFileA(const char* path) {
    (void)path;
    return false;
  }

  // --- USB device interfaces (SetupAPI) -------------------------------------------------------
  // The defaults of this section and the two below answer as a machine with no USB device and
  // no drive, so that a platform standing in for other parts only (a test's clock or pipes)
  // stays small; the sim and Win32 backends override every one of them.
  //
  // SetupDiGetClassDevsA(&interfaceClass, NULL, NULL, flags): a snapshot of the interfaces of
  // the class (present ones with kDigcfPresent). Non-blocking; GUI thread in the system.
  // kInvalidHandle on failure; release it with SetupDiDestroyDeviceInfoList.
  virtual Handle SetupDiGetClassDevsA(const Guid& interfaceClass, std::uint32_t flags) {
    (void)interfaceClass, (void)flags;
    return kInvalidHandle;
  }
  // SetupDiEnumDeviceInterfaces(set, NULL, &interfaceClass, index, data): the index-th
  // interface of the snapshot. False (ERROR_NO_MORE_ITEMS) past the last one. Non-blocking.
  virtual bool SetupDiEnumDeviceInterfaces(Handle set, const Guid& interfaceClass,
                                           std::uint32_t index, DeviceInterfaceData* data) {
    (void)set, (void)interfaceClass, (void)index, (void)data;
    return false;
  }
  // SetupDiGetDeviceInterfaceDetailA: the interface path ("\\?\usb#...#{...}"),
  // zero-terminated, into path[size]. *required (when not null) gets the bytes the path needs
  // with its zero. False, path untouched, when path is null or too small: the sizing call.
  // The Win32 backend wraps the SP_DEVICE_INTERFACE_DETAIL_DATA_A header around path itself.
  virtual bool SetupDiGetDeviceInterfaceDetailA(Handle set, const DeviceInterfaceData& data,
                                                char* path, std::uint32_t size,
                                                std::uint32_t* required) {
    (void)set, (void)data, (void)path, (void)size;
    if (required != nullptr) *required = 0;
    return false;
  }
  // SetupDiDestroyDeviceInfoList. False for an unknown set.
  virtual bool SetupDiDestroyDeviceInfoList(Handle set) {
    (void)set;
    return false;
  }

  // --- Logical drives ---------------------------------------------------------------------------
  // GetLogicalDrives: bit n set when drive letter 'A' + n exists. Non-blocking; any thread.
  virtual std::uint32_t GetLogicalDrives() { return 0; }
  // GetLogicalDriveStringsA(size, buffer): the roots "C:\", "E:\", ... each with its zero, then
  // one more zero. Returns the characters written without the last zero; when the buffer is too
  // small, the size it needs (larger than size) and the buffer is untouched; 0 on failure.
  virtual std::uint32_t GetLogicalDriveStringsA(std::uint32_t size, char* buffer) {
    (void)size, (void)buffer;
    return 0;
  }
  // GetDriveTypeA("E:\"): kDriveCdrom, kDriveFixed, ...; kDriveNoRootDir for no such drive.
  virtual std::uint32_t GetDriveTypeA(const char* root) {
    (void)root;
    return kDriveNoRootDir;
  }

  // --- Device notification --------------------------------------------------------------------
  // RegisterDeviceNotificationA(recipient, filter, flags): from now on the recipient window
  // gets WM_DEVICECHANGE for arrivals and removals of the filter's interface class. recipient
  // is the main window as the toolkit identifies it (the Win32 backend maps it to its HWND).
  // Non-blocking; GUI thread. Returns 0 (NULL) on failure.
  virtual Handle RegisterDeviceNotificationA(Handle recipient,
                                             const DevBroadcastDeviceInterface& filter,
                                             std::uint32_t flags) {
    (void)recipient, (void)filter, (void)flags;
    return 0;
  }
  // UnregisterDeviceNotification. False for an unknown handle.
  virtual bool UnregisterDeviceNotification(Handle notification) {
    (void)notification;
    return false;
  }
  // RegisterDeviceNotificationA(recipient, DEV_BROADCAST_HANDLE of file, window handle): the
  // recipient is asked (the toolkit's query-remove of a handle) before the device behind an open
  // file handle may be removed, so that it can close the handle and let the removal go on. The
  // notification belongs to the file handle: CloseHandle of the file ends it. Non-blocking; GUI
  // thread. False when it cannot be registered (the default: nothing ever asks).
  virtual bool RegisterHandleNotification(Handle recipient, Handle file) {
    (void)recipient, (void)file;
    return false;
  }

  // The handle notification of file, taken off it: closing the file then leaves it registered,
  // so that the end of a removal whose query closed the file is still heard of (refused: the
  // file may be opened again). 0 when file has none. The caller ends it with
  // UnregisterDeviceNotification. GUI thread.
  virtual Handle DetachHandleNotification(Handle file) {
    (void)file;
    return 0;
  }
  // The handle notification of file, left on it; 0 when file has none. GUI thread.
  virtual Handle HandleNotification(Handle file) {
    (void)file;
    return 0;
  }

  // --- Power and the session -------------------------------------------------------------------
  // SetThreadExecutionState(flags): with kEsContinuous | kEsSystemRequired the system's idle timer
  // does not put it to sleep until the calling thread calls again with kEsContinuous alone. The
  // state belongs to the calling thread: call it from the GUI thread, which lives as long as the
  // program. Returns the state before, or 0 when refused. Non-blocking. The default has no power
  // management and refuses.
  virtual std::uint32_t SetThreadExecutionState(std::uint32_t flags) {
    (void)flags;
    return 0;
  }
  // ShutdownBlockReasonCreate(window, reason): while a shutdown or logoff waits for the programs
  // that asked to hold it, the system shows this reason under the window's name; Destroy takes it
  // back. window is the main window as the toolkit identifies it (as for
  // RegisterDeviceNotificationA); reason is ANSI text. Non-blocking; GUI thread (the window's).
  // False when refused (the default: no session to hold).
  virtual bool ShutdownBlockReasonCreate(Handle window, const char* reason) {
    (void)window, (void)reason;
    return false;
  }
  virtual bool ShutdownBlockReasonDestroy(Handle window) {
    (void)window;
    return false;
  }

  // --- Errors ---------------------------------------------------------------------------------
  // GetLastError of the calling thread: why its last failed call failed. Non-blocking.
  virtual std::uint32_t GetLastError() { return 0; }
  // The system's text for an error code (FormatMessage), without its line break; "error <code>"
  // when the system has none. Non-blocking; any thread.
  virtual std::string ErrorText(std::uint32_t code) { return "error " + std::to_string(code); }

  // --- Program resources ----------------------------------------------------------------------
  // FindResource + LoadResource + LockResource + SizeofResource for the custom type "ITEM".
  // An empty span when the resource is missing. The bytes live as long as the program.
  virtual std::span<const std::uint8_t> LoadItemResource(const char* name) = 0;

  // --- Print spooler ----------------------------------------------------------------------------
  // The printer object's select-queue and BeginDoc/EndDoc: selects the print queue named
  // queueName with the driver name "WINSPOOL" (no port, no device mode) and prints an empty
  // document on it. Blocks until the spooler has taken or refused the job, never longer than
  // the spooler's own calls take (it does not wait for the printer). Worker thread. True when
  // the job was started and ended; false when the queue cannot be selected or the job cannot
  // start; false too, the document abandoned, when its page does not start or end. The queue
  // name is the system's ANSI text; the Win32 backend hands it to the spooler's wide calls. The
  // default has no spooler.
  virtual bool PrintEmptyDocument(const char* queueName) {
    (void)queueName;
    return false;
  }
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
