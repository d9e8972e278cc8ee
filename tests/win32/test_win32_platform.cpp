// The Win32 platform backend against the real thing (Windows, or Wine on Linux): registry reads
// with their fixed buffers on keys the test writes, files and "Test.log", the host report,
// "ITEM" resources, events and waits, drives, device notifications and the spooler.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/DeviceControl.h"
#include "platform/win32/Win32Platform.h"
#include "report/TestLog.h"

namespace {

using platform::win32::Win32Platform;
using Bytes = std::vector<std::uint8_t>;

class Win32PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetPlatform(&os_); }
  void TearDown() override { platform::SetPlatform(nullptr); }
  Win32Platform os_;
};

// A key under HKLM\SOFTWARE written for one test and deleted after it.
class ScratchKey {
 public:
  ScratchKey() {
    path_ = "SOFTWARE\\VeltraneTests\\" + std::to_string(::GetCurrentProcessId());
    ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &key_, nullptr);
  }
  ~ScratchKey() {
    ::RegCloseKey(key_);
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VeltraneTests");
  }
  bool Ok() const { return key_ != nullptr; }
  const std::string& Path() const { return path_; }
  void Set(const char* name, DWORD type, const Bytes& bytes) {
    ::RegSetValueExA(key_, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
  }
  void AddSubKey(const char* name) {
    HKEY sub = nullptr;
    ::RegCreateKeyExA(key_, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
    ::RegCloseKey(sub);
  }

 private:
  std::string path_;
  HKEY key_ = nullptr;
};

Bytes Sz(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(Win32PlatformTest, RegistryValuesReadWithTheCallersBufferSizes) {
  ScratchKey scratch;
  ASSERT_TRUE(scratch.Ok());
  const std::string longText(300, 'x');
  scratch.Set("Text", REG_SZ, Sz("USB Mass Storage Device"));
  scratch.Set("Long", REG_SZ, Sz(longText));
  scratch.Set("Number", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
  scratch.Set("Binary", REG_BINARY, {0x5C, 0x00, 0x3F, 0x00});

  platform::Handle key = platform::kInvalidHandle;
  ASSERT_EQ(os_.RegOpenKeyExA(scratch.Path().c_str(), &key), platform::kErrorSuccess);
  struct Case {
    const char* value;
    std::uint32_t buffer;  // bytes offered; 0 = sizing call without a buffer
    long rc;
    std::uint32_t type;
    std::uint32_t size;  // *size afterwards: the value's full size
  };
  const Case cases[] = {
      {"Text", 256, platform::kErrorSuccess, platform::kRegSz, 24},
      {"Text", 24, platform::kErrorSuccess, platform::kRegSz, 24},
      {"Text", 23, platform::kErrorMoreData, platform::kRegSz, 24},
      {"Text", 0, platform::kErrorSuccess, platform::kRegSz, 24},
      {"Long", 256, platform::kErrorMoreData, platform::kRegSz, 301},
      {"Number", 4, platform::kErrorSuccess, platform::kRegDword, 4},
      {"Binary", 256, platform::kErrorSuccess, platform::kRegBinary, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.value) + " into " + std::to_string(c.buffer));
    Bytes buffer(256, 0xEE);
    std::uint32_t size = c.buffer;
    std::uint32_t type = 0;
    EXPECT_EQ(os_.RegQueryValueExA(key, c.value, &type, c.buffer ? buffer.data() : nullptr, &size),
              c.rc);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.size);
  }
  Bytes buffer(256, 0);
  std::uint32_t size = 256;
  ASSERT_EQ(os_.RegQueryValueExA(key, "Number", nullptr, buffer.data(), &size),
            platform::kErrorSuccess);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 4), (Bytes{0x78, 0x56, 0x34, 0x12}));
  size = 256;
  EXPECT_EQ(os_.RegQueryValueExA(key, "Missing", nullptr, buffer.data(), &size),
            platform::kErrorFileNotFound);
  EXPECT_EQ(os_.RegCloseKey(key), platform::kErrorSuccess);
}

TEST_F(Win32PlatformTest, RegistrySubkeysEnumerateInOrderUntilNoMoreItems) {
  ScratchKey scratch;
  ASSERT_TRUE(scratch.Ok());
  scratch.AddSubKey("0000");
  scratch.AddSubKey("USB#VID_1723&PID_0935#5&2A3B4C5D&0&1");
  platform::Handle key = platform::kInvalidHandle;
  ASSERT_EQ(os_.RegOpenKeyExA(scratch.Path().c_str(), &key), platform::kErrorSuccess);
  char name[64];
  std::vector<std::string> names;
  std::uint32_t index = 0;
  while (os_.RegEnumKeyA(key, index, name, sizeof name) == platform::kErrorSuccess) {
    names.emplace_back(name, strnlen(name, sizeof name));
    ++index;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"0000", "USB#VID_1723&PID_0935#5&2A3B4C5D&0&1"}));
  EXPECT_EQ(os_.RegEnumKeyA(key, 2, name, sizeof name), platform::kErrorNoMoreItems);
  char small[8];
  EXPECT_EQ(os_.RegEnumKeyA(key, 1, small, sizeof small), platform::kErrorMoreData);
  os_.RegCloseKey(key);
  platform::Handle missing = 0;
  EXPECT_EQ(os_.RegOpenKeyExA("SOFTWARE\\VeltraneTests\\NoSuchKey", &missing),
            platform::kErrorFileNotFound);
}

TEST_F(Win32PlatformTest, TestLogIsWrittenWholeWithCrLfAndReplacedOnTheNextSave) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("veltrane-log-" + std::to_string(::GetCurrentProcessId()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / kLogFileName).string();
  CreateLogLines();
  WriteLog("%s", "first");
  WriteLog("%s", "second");
  ASSERT_TRUE(SaveLogLines(file.c_str()));
  const std::string twoLines = ReadFileBytes(file);
  EXPECT_EQ(twoLines.size(), (kLogPrefixLength + 5 + 2) + (kLogPrefixLength + 6 + 2));
  EXPECT_EQ(twoLines.substr(twoLines.size() - 2), "\r\n");
  const auto lines = LogLinesSnapshot();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(twoLines, lines[0] + "\r\n" + lines[1] + "\r\n");

  ReleaseLogLines();
  CreateLogLines();
  WriteLog("%s", "x");
  ASSERT_TRUE(SaveLogLines(file.c_str()));
  EXPECT_EQ(ReadFileBytes(file).size(), kLogPrefixLength + 1 + 2);  // the longer file is gone
  ReleaseLogLines();
  EXPECT_FALSE(SaveLogLines((dir / "no-such-dir" / kLogFileName).string().c_str()));
  std::filesystem::remove_all(dir);
}

std::string RegistryText(const char* subKey, const char* value) {
  char text[256] = {};
  DWORD size = sizeof text;
  if (::RegGetValueA(HKEY_LOCAL_MACHINE, subKey, value, RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return std::string(text, strnlen(text, sizeof text));
}

// Each logged message in clear, in order.
std::vector<std::string> MessagesInClear() {
  std::vector<std::string> messages;
  for (const std::string& line : LogLinesSnapshot()) {
    const std::string_view prefix = std::string_view(line).substr(0, kLogPrefixLength);
    messages.push_back(
        UnscrambleLogText(line.substr(kLogPrefixLength), LogOffsetForPrefix(prefix)));
  }
  return messages;
}

TEST_F(Win32PlatformTest, HostReportShowsThisHostsProcessorMemoryAndWindowsVersion) {
  CreateLogLines();
  WriteHostReport();
  const auto messages = MessagesInClear();
  ReleaseLogLines();
  const std::string cpu =
      RegistryText("HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", "ProcessorNameString");
  const std::string product =
      RegistryText("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "ProductName");
  MEMORYSTATUS memory{};
  memory.dwLength = sizeof memory;
  ::GlobalMemoryStatus(&memory);
  const auto has = [&](const std::string& message) {
    return std::find(messages.begin(), messages.end(), message) != messages.end();
  };
  EXPECT_FALSE(cpu.empty());
  EXPECT_TRUE(has("CPU: " + cpu)) << cpu;
  EXPECT_TRUE(has("TotalPhys: " + std::to_string(static_cast<std::int32_t>(memory.dwTotalPhys)) +
                  " Bytes"));
  EXPECT_TRUE(has("ProductName = " + product)) << product;
}

TEST_F(Win32PlatformTest, ItemResourcesAreTheStepListFilesByteForByte) {
  for (const char* name : {"LIST_HV22", "LIST_LQ40", "LIST_TM36K", "LIST_TM36P", "LIST_ZP61",
                           "LIST_ZP65", "LIST_ZP71", "LIST_ZP75"}) {
    SCOPED_TRACE(name);
    const auto bytes = os_.LoadItemResource(name);
    const std::string file = ReadFileBytes(std::filesystem::path(VELTRANE_SOURCE_DIR) /
                                           "resources" / (std::string(name) + ".txt"));
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), file);
  }
  EXPECT_TRUE(os_.LoadItemResource("LIST_ZP99").empty());
  EXPECT_TRUE(os_.LoadItemResource("IMAGE1").empty());  // a picture is not an "ITEM"
}

// The model pictures are run-length encoded bitmaps: Windows draws them whole, in the colours of
// their palette, magenta (the transparent key) around the drawing.
TEST(Win32Resources, ModelPicturesLoadAsTheirDrawings) {
  for (const char* name : {"IMAGE1", "IMAGE2", "IMAGE3", "IMAGE4", "IMAGE5"}) {
    SCOPED_TRACE(name);
    HBITMAP picture = static_cast<HBITMAP>(
        ::LoadImageA(::GetModuleHandleA(nullptr), name, IMAGE_BITMAP, 0, 0, 0));
    ASSERT_NE(picture, nullptr);
    BITMAP info{};
    ASSERT_NE(::GetObjectA(picture, sizeof info, &info), 0);
    EXPECT_EQ(info.bmWidth, 250);
    EXPECT_EQ(info.bmHeight, 250);
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = 250;
    format.bmiHeader.biHeight = -250;  // top-down
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    std::vector<std::uint32_t> pixels(250 * 250);
    HDC screen = ::GetDC(nullptr);
    const int rows = ::GetDIBits(screen, picture, 0, 250, pixels.data(), &format, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, screen);
    ::DeleteObject(picture);
    ASSERT_EQ(rows, 250);
    constexpr std::uint32_t kMagenta = 0xFF00FF;
    std::vector<std::uint32_t> colours;
    std::size_t key = 0;
    for (const std::uint32_t p : pixels) {
      const std::uint32_t rgb = p & 0xFFFFFF;
      key += rgb == kMagenta ? 1 : 0;
      if (std::find(colours.begin(), colours.end(), rgb) == colours.end()) colours.push_back(rgb);
    }
    EXPECT_EQ(pixels.front() & 0xFFFFFF, kMagenta) << "the corner is the transparent key";
    EXPECT_EQ(pixels.back() & 0xFFFFFF, kMagenta);
    EXPECT_GT(key, pixels.size() / 10);
    EXPECT_LT(key, pixels.size() * 9 / 10) << "a drawing, not an empty picture";
    EXPECT_GE(colours.size(), 5u);
  }
}

TEST_F(Win32PlatformTest, EventsSignalAndResetAsCreatedAndUnknownHandlesTimeOut) {
  struct Case {
    bool manualReset;
    bool initial;
    std::uint32_t first;
    std::uint32_t second;
  };
  const Case cases[] = {
      {false, false, platform::kWaitTimeout, platform::kWaitTimeout},  // the pause event
      {false, true, platform::kWaitObject0, platform::kWaitTimeout},   // auto-reset
      {true, true, platform::kWaitObject0, platform::kWaitObject0},    // stays signalled
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.manualReset) + std::to_string(c.initial));
    const platform::Handle event = os_.CreateEventA(c.manualReset, c.initial);
    ASSERT_NE(event, platform::kInvalidHandle);
    EXPECT_EQ(os_.WaitForSingleObject(event, 1), c.first);
    EXPECT_EQ(os_.WaitForSingleObject(event, 1), c.second);
    EXPECT_TRUE(os_.CloseHandle(event));
  }
  EXPECT_EQ(os_.WaitForSingleObject(platform::kInvalidHandle - 1000, 1), platform::kWaitTimeout);
  EXPECT_FALSE(os_.CloseHandle(platform::kInvalidHandle));
}

TEST_F(Win32PlatformTest, FilesRoundTripAndMissingOnesDoNotOpen) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("veltrane-file-" + std::to_string(::GetCurrentProcessId()));
  const std::string name = path.string();
  platform::Handle file =
      os_.CreateFileA(name.c_str(), platform::kGenericWrite, 0, platform::kCreateAlways);
  ASSERT_NE(file, platform::kInvalidHandle);
  std::uint32_t done = 0;
  EXPECT_TRUE(os_.WriteFile(file, "AT+R01", 6, &done));
  EXPECT_EQ(done, 6u);
  EXPECT_TRUE(os_.CloseHandle(file));
  file = os_.CreateFileA(name.c_str(), platform::kGenericRead, platform::kFileShareRead,
                         platform::kOpenExisting);
  ASSERT_NE(file, platform::kInvalidHandle);
  char chunk[64] = {};
  EXPECT_TRUE(os_.ReadFile(file, chunk, sizeof chunk, &done));
  EXPECT_EQ(std::string(chunk, done), "AT+R01");
  EXPECT_TRUE(os_.ReadFile(file, chunk, sizeof chunk, &done));
  EXPECT_EQ(done, 0u);  // end of file
  os_.CloseHandle(file);
  std::filesystem::remove(path);
  EXPECT_EQ(os_.CreateFileA(name.c_str(), platform::kGenericRead, 0, platform::kOpenExisting),
            platform::kInvalidHandle);
  std::uint32_t returned = 99;
  EXPECT_FALSE(os_.DeviceIoControl(platform::kInvalidHandle, platform::kIoctlUsbGetNodeInformation,
                                   nullptr, 0, chunk, sizeof chunk, &returned));
  EXPECT_EQ(returned, 0u);
}

TEST_F(Win32PlatformTest, DriveRootsAgreeWithTheDriveBitsAndTooSmallBuffersAreLeftAlone) {
  const std::uint32_t bits = os_.GetLogicalDrives();
  char roots[256];
  const std::uint32_t length = os_.GetLogicalDriveStringsA(sizeof roots, roots);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, sizeof roots);
  std::uint32_t seen = 0;
  for (const char* root = roots; *root != '\0'; root += strnlen(root, 4) + 1) {
    ASSERT_TRUE(root[0] >= 'A' && root[0] <= 'Z') << root;
    seen |= 1u << (root[0] - 'A');
    EXPECT_NE(os_.GetDriveTypeA(root), platform::kDriveNoRootDir) << root;
  }
  EXPECT_EQ(seen, bits);
  char small[2] = {'#', '#'};
  EXPECT_GT(os_.GetLogicalDriveStringsA(sizeof small, small), sizeof small);
  EXPECT_EQ(small[0], '#');
  EXPECT_EQ(os_.GetDriveTypeA("\\\\?\\NoSuchVolume\\"), platform::kDriveNoRootDir);
}

TEST_F(Win32PlatformTest, DeviceNotificationsNeedAWindowTheResolverKnows) {
  HWND window =
      ::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  int form = 0;  // stands for the main window object the console passes
  os_.SetWindowResolver([&](platform::Handle recipient) -> void* {
    return recipient == reinterpret_cast<platform::Handle>(&form) ? window : nullptr;
  });
  platform::DevBroadcastDeviceInterface filter;
  filter.classGuid = platform::kUsbDeviceInterfaceClass;
  const platform::Handle registered = os_.RegisterDeviceNotificationA(
      reinterpret_cast<platform::Handle>(&form), filter, platform::kDeviceNotifyWindowHandle);
  EXPECT_NE(registered, 0);
  EXPECT_TRUE(os_.UnregisterDeviceNotification(registered));
  int other = 0;
  EXPECT_EQ(os_.RegisterDeviceNotificationA(reinterpret_cast<platform::Handle>(&other), filter,
                                            platform::kDeviceNotifyWindowHandle),
            0);
  ::DestroyWindow(window);
}

TEST_F(Win32PlatformTest, PrintingToAQueueThatDoesNotExistFails) {
  EXPECT_FALSE(os_.PrintEmptyDocument("Veltrane No Such Queue"));
  EXPECT_FALSE(os_.PrintEmptyDocument(""));
}

}  // namespace
