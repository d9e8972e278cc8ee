// What Wine never answers, reached through the backend's table of Win32 calls: a performance
// counter far from its start or moving as told, a pipe read that the driver never completes (a
// real named pipe that nobody writes to), a driver that ignores the cancel, a hub answering
// ERROR_MORE_DATA, a refused open or registration, a page that does not start or end; and the
// application manifest the program carries.
#include <gtest/gtest.h>

#include <windows.h>
// windows.h first: dbt.h relies on its types.
#include <dbt.h>

#include <chrono>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "device/Device.h"
#include "device/PortTree.h"
#include "device/RegistryText.h"
#include "platform/DeviceControl.h"
#include "platform/win32/Win32Calls.h"
#include "platform/win32/Win32Platform.h"
#include "report/RecordReport.h"
#include "report/RunRecord.h"
#include "report/RunState.h"

namespace {

using platform::win32::Calls;
using platform::win32::Win32Platform;

// A command pipe's path as discovery opens it: a device interface, hence overlapped and bounded.
constexpr const char* kPipePath =
    "\\\\?\\usb#vid_1723&pid_0903#test#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\\PIPE00";

std::string& ServerName() {
  static std::string name = "\\\\.\\pipe\\veltrane-test-" + std::to_string(::GetCurrentProcessId());
  return name;
}

DWORD openedWithFlags = 0;

// The pipe path leads to the test's named pipe, opened with the flags the backend chose.
HANDLE WINAPI OpenTestPipe(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES security, DWORD, DWORD flags,
                           HANDLE) {
  openedWithFlags = flags;
  return ::CreateFileA(ServerName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, security,
                       OPEN_EXISTING, flags, nullptr);
}

// A driver that takes the cancel request and never acts on it.
BOOL WINAPI IgnoreCancel(HANDLE, LPOVERLAPPED) {
  return TRUE;
}

class Win32RefusalTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetPlatform(&os_); }
  void TearDown() override {
    platform::win32::RestoreCalls();
    platform::SetPlatform(nullptr);
  }

  // The far end of a command pipe: a synchronous named-pipe server the test writes replies to
  // and reads commands from; the backend's end is opened through kPipePath.
  platform::Handle OpenPipeToServer() {
    server_ = ::CreateNamedPipeA(ServerName().c_str(), PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (server_ == INVALID_HANDLE_VALUE) return platform::kInvalidHandle;
    Calls().CreateFileA = &OpenTestPipe;
    return os_.CreateFileA(kPipePath, platform::kGenericRead, platform::kFileShareRead,
                           platform::kOpenExisting);
  }
  void Reply(const std::string& text) {
    DWORD written = 0;
    ::WriteFile(server_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  void ClosePipe(platform::Handle pipe) {
    os_.CloseHandle(pipe);
    ::CloseHandle(server_);
  }

  // Milliseconds a call took.
  template <typename F>
  static long long Timed(F call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  }

  Win32Platform os_;
  HANDLE server_ = INVALID_HANDLE_VALUE;
};

// --- The monotonic clock ---------------------------------------------------------------------

LONGLONG givenFrequency = 0;
LONGLONG givenCount = 0;
LONGLONG givenStep = 0;  // the given counter moves on by this much after each reading
int counterReadings = 0;

BOOL WINAPI GivenFrequency(LARGE_INTEGER* frequency) {
  frequency->QuadPart = givenFrequency;
  return TRUE;
}
BOOL WINAPI GivenCounter(LARGE_INTEGER* count) {
  ++counterReadings;
  count->QuadPart = givenCount;
  givenCount += givenStep;
  return TRUE;
}
// The system's own counter, its readings counted.
BOOL WINAPI CountedCounter(LARGE_INTEGER* count) {
  ++counterReadings;
  return ::QueryPerformanceCounter(count);
}

// Every interval is measured on the performance counter, never on the time of day: its count in
// whole milliseconds, also where count * 1000 would overflow (a 3 GHz counter after 100 days).
TEST_F(Win32RefusalTest, TheMonotonicClockIsThePerformanceCounterInMilliseconds) {
  struct Case {
    LONGLONG frequency;
    LONGLONG count;
    std::uint64_t ms;
  } const cases[] = {
      {10'000'000, 0, 0},
      {10'000'000, 12'345'678, 1'234},
      {3'579'545, 3'579'545LL * 1'000 + 3'579, 1'000'000},
      {3'000'000'000, 3'000'000'000LL * 86'400 * 100 + 1'500'000, 8'640'000'000},
  };
  Calls().QueryPerformanceFrequency = &GivenFrequency;
  Calls().QueryPerformanceCounter = &GivenCounter;
  for (const Case& c : cases) {
    givenFrequency = c.frequency;
    givenCount = c.count;
    EXPECT_EQ(os_.MonotonicMs(), c.ms) << c.count << " at " << c.frequency << " Hz";
  }
}

// A pause until a moment waits on the counter: it ends when the counter has reached the moment,
// however long the waits took, and it waits rather than spins (a spin would read the counter
// millions of times in 30 ms).
TEST_F(Win32RefusalTest, APauseUntilAMomentWaitsForTheCounterWithoutSpinning) {
  const platform::Handle pause = os_.CreateEventA(false, false);
  ASSERT_NE(pause, platform::kInvalidHandle);
  Calls().QueryPerformanceFrequency = &GivenFrequency;
  Calls().QueryPerformanceCounter = &GivenCounter;
  givenFrequency = 1000;  // one count a millisecond
  givenCount = 5000;
  givenStep = 10;
  counterReadings = 0;
  os_.PauseUntil(pause, 5025);  // read at 5000, 5010, 5020 and 5030
  EXPECT_EQ(counterReadings, 4);
  givenStep = 0;

  platform::win32::RestoreCalls();
  Calls().QueryPerformanceCounter = &CountedCounter;
  const std::uint64_t until = os_.MonotonicMs() + 30;
  counterReadings = 0;
  os_.PauseUntil(pause, until);
  EXPECT_LE(counterReadings, 8);
  EXPECT_GE(os_.MonotonicMs(), until);
  EXPECT_TRUE(os_.CloseHandle(pause));
}

// A read that the far end never answers is cancelled after the bound and fails as a failed read
// does; the pipe stays usable, and the next reply is read whole.
TEST_F(Win32RefusalTest, PipeReadThatNeverCompletesFailsAfterTheBoundAndThePipeGoesOn) {
  const platform::Handle pipe = OpenPipeToServer();
  ASSERT_NE(pipe, platform::kInvalidHandle);
  EXPECT_NE(openedWithFlags & FILE_FLAG_OVERLAPPED, 0u);

  char chunk[64] = {};
  std::uint32_t done = 99;
  bool read = true;
  const long long waitedMs = Timed([&] { read = os_.ReadFile(pipe, chunk, sizeof chunk, &done); });
  EXPECT_FALSE(read);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(os_.GetLastError(), static_cast<std::uint32_t>(ERROR_OPERATION_ABORTED));
  EXPECT_GE(waitedMs, platform::kDeviceIoTimeoutMs - 50);

  Reply("OK AT+O");
  ASSERT_TRUE(os_.ReadFile(pipe, chunk, sizeof chunk, &done));
  EXPECT_EQ(std::string(chunk, done), "OK AT+O");

  const std::uint8_t block[8] = {0, 0, '?', 0, 0, 0, 0, 0};
  ASSERT_TRUE(os_.WriteFile(pipe, block, sizeof block, &done));
  EXPECT_EQ(done, sizeof block);
  std::uint8_t taken[8] = {};
  DWORD got = 0;
  ASSERT_TRUE(::ReadFile(server_, taken, sizeof taken, &got, nullptr));
  EXPECT_EQ(std::memcmp(taken, block, sizeof block), 0);
  ClosePipe(pipe);
}

// A driver that ignores the cancel too: the read still ends (after the bound and as long again
// for the cancel), and its transfer is left to the system rather than freed under it.
TEST_F(Win32RefusalTest, PipeReadWhoseCancelIsIgnoredStillEnds) {
  const platform::Handle pipe = OpenPipeToServer();
  ASSERT_NE(pipe, platform::kInvalidHandle);
  Calls().CancelIoEx = &IgnoreCancel;
  char chunk[64] = {};
  std::uint32_t done = 0;
  bool read = true;
  const long long waitedMs = Timed([&] { read = os_.ReadFile(pipe, chunk, sizeof chunk, &done); });
  EXPECT_FALSE(read);
  EXPECT_EQ(os_.GetLastError(), static_cast<std::uint32_t>(ERROR_OPERATION_ABORTED));
  EXPECT_GE(waitedMs, 2 * platform::kDeviceIoTimeoutMs - 100);
  ClosePipe(pipe);  // the close ends the read the driver kept
}

// The GUI thread lets a pipe go while a worker's read on it is in flight: its cancel ends the read
// at once, rather than after the bound, so that the handle can be closed within moments.
TEST_F(Win32RefusalTest, CancelFromAnotherThreadEndsAReadInFlight) {
  const platform::Handle pipe = OpenPipeToServer();
  ASSERT_NE(pipe, platform::kInvalidHandle);
  long long waitedMs = 0;
  std::uint32_t error = 0;
  std::thread worker([&] {
    char chunk[64] = {};
    std::uint32_t done = 0;
    waitedMs = Timed([&] { EXPECT_FALSE(os_.ReadFile(pipe, chunk, sizeof chunk, &done)); });
    error = os_.GetLastError();
  });
  ::Sleep(200);  // the read is pending by now
  EXPECT_TRUE(os_.CancelIoEx(pipe));
  worker.join();
  EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_OPERATION_ABORTED));
  EXPECT_LT(waitedMs, 700) << "the read waited for its bound instead";
  EXPECT_FALSE(os_.CancelIoEx(platform::kInvalidHandle));
  ClosePipe(pipe);
}

// --- A hub answering ERROR_MORE_DATA ----------------------------------------------------------

constexpr std::uint32_t kFixedPart = platform::NodeConnectionInformationLayout::kBaseSize;

// A hub driver whose device has more pipes than the buffer holds: the fixed part and
// STATUS_BUFFER_OVERFLOW, as an overlapped request completes at once.
BOOL WINAPI AnswerMoreData(HANDLE, DWORD, LPVOID, DWORD, LPVOID out, DWORD outSize, LPDWORD,
                           LPOVERLAPPED overlapped) {
  using L = platform::NodeConnectionInformationLayout;
  auto* bytes = static_cast<std::uint8_t*>(out);
  std::memset(bytes, 0, outSize);
  platform::PutU32({bytes, outSize}, L::kConnectionStatus, L::kDeviceConnected);
  platform::PutU16({bytes, outSize}, L::kIdVendor, 0x1723);
  platform::PutU32({bytes, outSize}, L::kNumberOfOpenPipes, 40);
  overlapped->Internal = 0x80000005;  // STATUS_BUFFER_OVERFLOW
  overlapped->InternalHigh = kFixedPart;
  ::SetEvent(overlapped->hEvent);
  ::SetLastError(ERROR_MORE_DATA);
  return FALSE;
}

BOOL WINAPI RefuseControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
  ::SetLastError(ERROR_GEN_FAILURE);
  return FALSE;
}

TEST_F(Win32RefusalTest, HubAnsweringMoreDataGivesTheFixedPartAndThePortIsRead) {
  using L = platform::NodeConnectionInformationLayout;
  const platform::Handle hub = OpenPipeToServer();  // any device interface handle will do
  ASSERT_NE(hub, platform::kInvalidHandle);
  Calls().DeviceIoControl = &AnswerMoreData;
  std::uint8_t info[L::kScanBufferSize] = {};
  std::uint32_t returned = 0;
  EXPECT_FALSE(os_.DeviceIoControl(hub, platform::kIoctlUsbGetNodeConnectionInformation, info,
                                   sizeof info, info, sizeof info, &returned));
  EXPECT_EQ(os_.GetLastError(), static_cast<std::uint32_t>(ERROR_MORE_DATA));
  EXPECT_EQ(returned, kFixedPart);
  EXPECT_EQ(platform::GetU16(info, L::kIdVendor), 0x1723);
  std::memset(info, 0, sizeof info);
  EXPECT_TRUE(ReadConnectionInformation(hub, 1, info));
  EXPECT_EQ(platform::GetU32(info, L::kNumberOfOpenPipes), 40u);

  Calls().DeviceIoControl = &RefuseControl;  // any other refusal still drops the port
  EXPECT_FALSE(ReadConnectionInformation(hub, 1, info));
  EXPECT_EQ(os_.GetLastError(), static_cast<std::uint32_t>(ERROR_GEN_FAILURE));
  ClosePipe(hub);
}

// --- Refused opens and registrations ----------------------------------------------------------

HANDLE WINAPI DenyOpen(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}

HDEVNOTIFY WINAPI RefuseRegistration(HANDLE, LPVOID, DWORD) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

DWORD registeredType = 0;
HANDLE registeredHandle = nullptr;
int unregistered = 0;
HDEVNOTIFY WINAPI RecordRegistration(HANDLE, LPVOID filter, DWORD) {
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(filter);
  registeredType = header->dbch_devicetype;
  if (registeredType == DBT_DEVTYP_HANDLE) {
    registeredHandle = static_cast<const DEV_BROADCAST_HANDLE*>(filter)->dbch_handle;
  }
  return reinterpret_cast<HDEVNOTIFY>(0x5A5A);
}
BOOL WINAPI RecordUnregistration(HDEVNOTIFY notification) {
  if (notification == reinterpret_cast<HDEVNOTIFY>(0x5A5A)) ++unregistered;
  return TRUE;
}

TEST_F(Win32RefusalTest, RefusedOpenTellsWhyInTheSystemsWords) {
  Calls().CreateFileA = &DenyOpen;
  EXPECT_EQ(os_.CreateFileA("\\\\.\\E:", platform::kGenericRead | platform::kGenericWrite,
                            platform::kFileShareRead | platform::kFileShareWrite,
                            platform::kOpenExisting),
            platform::kInvalidHandle);
  const std::uint32_t error = os_.GetLastError();
  EXPECT_EQ(error, static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
  char system[256] = {};
  ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                   system, sizeof system, nullptr);
  const std::string text = os_.ErrorText(error);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(std::string(system).rfind(text, 0), 0u);  // the system's text, line break dropped
  EXPECT_EQ(os_.ErrorText(0xDEAD0001u), "error 3735879681");
}

// The main window's registration and the handle notifications: a refusal is reported as such; a
// handle notification names the handle and ends with the handle.
TEST_F(Win32RefusalTest, RegistrationsRefusedOrKeptWithTheirHandle) {
  HWND window =
      ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  const auto recipient = reinterpret_cast<platform::Handle>(window);
  Calls().RegisterDeviceNotificationA = &RefuseRegistration;
  platform::DevBroadcastDeviceInterface filter;
  filter.classGuid = platform::kUsbDeviceInterfaceClass;
  EXPECT_EQ(os_.RegisterDeviceNotificationA(recipient, filter, platform::kDeviceNotifyWindowHandle),
            0);
  EXPECT_EQ(os_.GetLastError(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
  const platform::Handle pipe = OpenPipeToServer();
  ASSERT_NE(pipe, platform::kInvalidHandle);
  EXPECT_FALSE(os_.RegisterHandleNotification(recipient, pipe));

  Calls().RegisterDeviceNotificationA = &RecordRegistration;
  Calls().UnregisterDeviceNotification = &RecordUnregistration;
  unregistered = 0;
  EXPECT_FALSE(os_.RegisterHandleNotification(recipient, platform::kInvalidHandle));
  ::SetLastError(ERROR_ACCESS_DENIED);                    // what some earlier call left behind
  EXPECT_FALSE(os_.RegisterHandleNotification(0, pipe));  // no window
  EXPECT_EQ(os_.GetLastError(), static_cast<std::uint32_t>(ERROR_INVALID_WINDOW_HANDLE));
  ::SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(os_.RegisterDeviceNotificationA(0, filter, platform::kDeviceNotifyWindowHandle), 0);
  EXPECT_EQ(os_.GetLastError(), static_cast<std::uint32_t>(ERROR_INVALID_WINDOW_HANDLE));
  ASSERT_TRUE(os_.RegisterHandleNotification(recipient, pipe));
  EXPECT_EQ(registeredType, static_cast<DWORD>(DBT_DEVTYP_HANDLE));
  EXPECT_EQ(reinterpret_cast<platform::Handle>(registeredHandle), pipe);
  EXPECT_EQ(unregistered, 0);
  ClosePipe(pipe);
  EXPECT_EQ(unregistered, 1);  // ended with its handle

  // A query to remove closes the handle but keeps its notification, to hear how the removal ends.
  const platform::Handle again = OpenPipeToServer();
  ASSERT_TRUE(os_.RegisterHandleNotification(recipient, again));
  // A removal without a query names the handle by its notification: asking leaves it on.
  EXPECT_EQ(os_.HandleNotification(again), 0x5A5A);
  EXPECT_EQ(os_.HandleNotification(again), 0x5A5A);
  EXPECT_EQ(os_.DetachHandleNotification(again), 0x5A5A);
  EXPECT_EQ(os_.DetachHandleNotification(again), 0);
  EXPECT_EQ(os_.HandleNotification(again), 0);
  ClosePipe(again);
  EXPECT_EQ(unregistered, 1) << "the notification ended with the handle";
  EXPECT_TRUE(os_.UnregisterDeviceNotification(0x5A5A));
  EXPECT_EQ(unregistered, 2);
  ::DestroyWindow(window);
}

// The 64-bit registry view: the host report's HKLM\SOFTWARE reads are not redirected.
REGSAM openedWith = 0;
LONG WINAPI RecordOpen(HKEY, LPCWSTR, DWORD, REGSAM access, PHKEY key) {
  openedWith = access;
  *key = nullptr;
  return ERROR_FILE_NOT_FOUND;
}

TEST_F(Win32RefusalTest, RegistryIsReadInTheMachinesOwnView) {
  Calls().RegOpenKeyExW = &RecordOpen;
  platform::Handle key = 0;
  EXPECT_EQ(os_.RegOpenKeyExA("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", &key),
            platform::kErrorFileNotFound);
  EXPECT_EQ(key, platform::kInvalidHandle);
  EXPECT_EQ(openedWith, static_cast<REGSAM>(KEY_READ | KEY_WOW64_64KEY));
}

// --- The empty print job ----------------------------------------------------------------------

std::wstring openedQueue;
int pageStarts = 0, pageEnds = 0, docEnds = 0, aborts = 0;
bool startPageFails = false, endPageFails = false;

BOOL WINAPI OpenAnyPrinter(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW) {
  openedQueue = name;
  *printer = nullptr;  // ClosePrinter(NULL) fails harmlessly
  return TRUE;
}
HDC WINAPI MemoryDc(LPCWSTR, LPCWSTR, LPCWSTR, const DEVMODEW*) {
  return ::CreateCompatibleDC(nullptr);
}
HDC WINAPI NoDc(LPCWSTR, LPCWSTR, LPCWSTR, const DEVMODEW*) {
  return nullptr;
}
int WINAPI StartAnyDoc(HDC, const DOCINFOW*) {
  return 1;
}
int WINAPI CountStartPage(HDC) {
  ++pageStarts;
  return startPageFails ? SP_ERROR : 1;
}
int WINAPI CountEndPage(HDC) {
  ++pageEnds;
  return endPageFails ? SP_ERROR : 1;
}
int WINAPI CountEndDoc(HDC) {
  ++docEnds;
  return 1;
}
int WINAPI CountAbortDoc(HDC) {
  ++aborts;
  return 1;
}

struct PageCase {
  bool startPageFails;
  bool endPageFails;
  bool printed;
  int pageEnds;
  int docEnds;
  int aborts;
};

class PrintedPage : public Win32RefusalTest, public ::testing::WithParamInterface<PageCase> {};

// A page that did not start or end is no page: the document is abandoned, not ended, and the
// job does not count as printed.
TEST_P(PrintedPage, CountsOnlyWhenItStartedAndEnded) {
  const PageCase& c = GetParam();
  Calls().OpenPrinterW = &OpenAnyPrinter;
  Calls().CreateDCW = &MemoryDc;
  Calls().StartDocW = &StartAnyDoc;
  Calls().StartPage = &CountStartPage;
  Calls().EndPage = &CountEndPage;
  Calls().EndDoc = &CountEndDoc;
  Calls().AbortDoc = &CountAbortDoc;
  pageStarts = pageEnds = docEnds = aborts = 0;
  startPageFails = c.startPageFails;
  endPageFails = c.endPageFails;
  EXPECT_EQ(os_.PrintEmptyDocument("Disc Printer"), c.printed);
  EXPECT_EQ(openedQueue, L"Disc Printer");
  EXPECT_EQ(pageStarts, 1);
  EXPECT_EQ(pageEnds, c.pageEnds);
  EXPECT_EQ(docEnds, c.docEnds);
  EXPECT_EQ(aborts, c.aborts);
}

INSTANTIATE_TEST_SUITE_P(StartAndEnd, PrintedPage,
                         ::testing::Values(PageCase{false, false, true, 1, 1, 0},
                                           PageCase{true, false, false, 0, 0, 1},
                                           PageCase{false, true, false, 1, 0, 1}));

// A queue name with a character of the code page beyond ASCII reaches the spooler's wide call as
// that character.
TEST_F(Win32RefusalTest, QueueNameReachesTheSpoolerInWideCharacters) {
  if (::GetACP() != 1252) GTEST_SKIP() << "code page " << ::GetACP() << ", not 1252";
  Calls().OpenPrinterW = &OpenAnyPrinter;
  Calls().CreateDCW = &NoDc;
  EXPECT_FALSE(os_.PrintEmptyDocument("Drucker \xE9\x80"));  // e acute, euro sign
  EXPECT_EQ(openedQueue, L"Drucker \u00E9\u20AC");
}

// A print queue named outside the code page: the registry lists it by a name that opens its key
// again, and that name reaches the spooler as the queue's own.
const wchar_t* const kTickQueue = L"Disc Printer \u2713";
BOOL WINAPI OpenTickQueueOnly(LPWSTR name, LPHANDLE printer, LPPRINTER_DEFAULTSW) {
  *printer = nullptr;
  if (std::wstring(name) != kTickQueue) return FALSE;
  openedQueue = name;
  return TRUE;
}

TEST_F(Win32RefusalTest, QueueNamedOutsideTheCodePageIsListedOpenedAndReachesTheSpooler) {
  struct Scratch {
    ~Scratch() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VeltraneQueueTest"); }
  } scratch;
  HKEY created = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              (std::wstring(L"SOFTWARE\\VeltraneQueueTest\\") + kTickQueue).c_str(),
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
            ERROR_SUCCESS);
  ::RegCloseKey(created);
  platform::Handle printers = platform::kInvalidHandle;
  ASSERT_EQ(os_.RegOpenKeyExA("SOFTWARE\\VeltraneQueueTest", &printers), platform::kErrorSuccess);
  char name[256] = {};
  ASSERT_EQ(os_.RegEnumKeyA(printers, 0, name, sizeof name), platform::kErrorSuccess);
  os_.RegCloseKey(printers);
  platform::Handle queue = platform::kInvalidHandle;
  EXPECT_EQ(
      os_.RegOpenKeyExA((std::string("SOFTWARE\\VeltraneQueueTest\\") + name).c_str(), &queue),
      platform::kErrorSuccess)
      << name;
  os_.RegCloseKey(queue);
  Calls().OpenPrinterW = &OpenTickQueueOnly;
  Calls().CreateDCW = &NoDc;
  openedQueue.clear();
  EXPECT_FALSE(os_.PrintEmptyDocument(name));  // no device context: but the queue was found
  EXPECT_EQ(openedQueue, kTickQueue);
}

// The station's name, a print queue's and a device's description beyond ASCII, which the system
// keeps as characters of the code page ("PR\u00DCFPLATZ-\u017D1", "Drucker f\u00FCr CD
// \u20AC"), reach the run record as those characters: the seam hands them over in UTF-8, and the
// queue's name still opens its key. (Read as the code page's bytes, the record's Latin-1 reading
// would turn the characters the code page keeps at 0x80 to 0x9F into C1 controls.)
const wchar_t* const kStationName = L"PR\u00DCFPLATZ-\u017D1";
BOOL WINAPI StationName(LPWSTR name, LPDWORD size) {
  const std::size_t length = std::wcslen(kStationName);
  if (*size <= length) return FALSE;
  std::wcscpy(name, kStationName);
  *size = static_cast<DWORD>(length);
  return TRUE;
}

constexpr const char* kPrinters = "SOFTWARE\\VeltraneCodePageTest";

TEST_F(Win32RefusalTest, CodePageNamesReachTheRunRecordAsTheirCharacters) {
  if (::GetACP() != 1252) GTEST_SKIP() << "code page " << ::GetACP() << ", not 1252";
  struct Scratch {
    ~Scratch() { ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPrinters); }
  } scratch;
  HKEY created = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                              (std::string(kPrinters) + "\\Drucker f\xFCr CD \x80").c_str(), 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &created, nullptr),
            ERROR_SUCCESS);
  const std::string description = "USB-Ger\xE4t f\xFCr CD \x96 Laufwerk";
  ::RegSetValueExA(created, "DeviceDesc", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(description.c_str()),
                   static_cast<DWORD>(description.size() + 1));
  ::RegCloseKey(created);
  Calls().GetComputerNameW = &StationName;

  // As discovery reads them.
  const platform::Handle printers = OpenRegKey(kPrinters);
  bool more = false;
  const auto queue = EnumRegKey(printers, 0, 60, &more);
  CloseRegKey(printers);
  ASSERT_TRUE(queue.has_value());
  const platform::Handle device = OpenRegKey(std::string(kPrinters) + "\\" + *queue);
  ASSERT_NE(device, platform::kInvalidHandle) << "the queue's name opens its key again";
  DeviceEntry entry;
  entry.Description = ReadRegText(device, "DeviceDesc", 140, "NoDeviceDesc");
  CloseRegKey(device);
  entry.SetPrinterName(*queue);
  RunContext run(nullptr, platform::kInvalidHandle);
  BeginRunRecord(run, entry, "[0] TM36K (K1)", 0);
  const std::string record = RecordJsonText(run.Record.current);
  for (const char* text : {"\"PR\xC3\x9C"
                           "FPLATZ-\xC5\xBD"
                           "1\"",
                           "\"Drucker f\xC3\xBCr CD \xE2\x82\xAC\"",
                           "\"USB-Ger\xC3\xA4t f\xC3\xBCr CD \xE2\x80\x93 Laufwerk\""}) {
    EXPECT_NE(record.find(text), std::string::npos) << text << " not in " << record;
  }
  EXPECT_EQ(record.find("\xEF\xBF\xBD"), std::string::npos) << "a character lost";
}

// A system text of several lines (Wine has none, Windows has many) is one line of the log: the
// system puts blanks for its line breaks when asked to (FORMAT_MESSAGE_MAX_WIDTH_MASK).
DWORD WINAPI TwoLineText(DWORD flags, LPCVOID, DWORD, DWORD, LPSTR buffer, DWORD size, va_list*) {
  const char* text = (flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == FORMAT_MESSAGE_MAX_WIDTH_MASK
                         ? "The device is not ready. Try again. "
                         : "The device is not ready.\r\nTry again.\r\n";
  const DWORD length = static_cast<DWORD>(std::strlen(text));
  if (size <= length) return 0;
  std::memcpy(buffer, text, length + 1);
  return length;
}

TEST_F(Win32RefusalTest, ErrorTextOfSeveralLinesIsOneLine) {
  Calls().FormatMessageA = &TwoLineText;
  EXPECT_EQ(os_.ErrorText(ERROR_NOT_READY), "The device is not ready. Try again.");
}

// --- The application manifest -----------------------------------------------------------------

std::string Manifest() {
  HMODULE module = ::GetModuleHandleA(nullptr);
  HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));  // RT_MANIFEST
  if (found == nullptr) return {};
  HGLOBAL loaded = ::LoadResource(module, found);
  const char* bytes =
      loaded != nullptr ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  return bytes != nullptr ? std::string(bytes, ::SizeofResource(module, found)) : std::string();
}

// The program is linked with the same resource script as this test: it asks for administrator
// rights, Common Controls 6 and system DPI awareness, and names every Windows from Vista to 11.
TEST(ApplicationManifest, CarriesRightsControlsDpiAndSupportedWindows) {
  const std::string manifest = Manifest();
  ASSERT_FALSE(manifest.empty());
  const std::vector<std::string> entries = {
      R"(<requestedExecutionLevel level="requireAdministrator" uiAccess="false"/>)",
      R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
      R"(publicKeyToken="6595b64144ccf1df")",
      R"(<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>)",
      R"(>system</dpiAwareness>)",
      R"(<supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>)",  // Vista
      R"(<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>)",  // 7
      R"(<supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>)",  // 8
      R"(<supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>)",  // 8.1
      R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)",  // 10 and 11
  };
  for (const std::string& entry : entries) {
    EXPECT_NE(manifest.find(entry), std::string::npos) << entry;
  }
}

}  // namespace
