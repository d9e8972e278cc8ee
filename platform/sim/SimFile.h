// What a handle from the sim's CreateFileA leads to: a real file, or a simulated device that a
// DeviceFileProvider (autoloader pipes, optical drives) registers with SimPlatform.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace platform::sim {

// GetLastError of the calling thread as the sim platform answers it: set by the sim's failing
// calls (SimFile implementations included) with the code Windows would give.
void SetSimLastError(std::uint32_t code);
std::uint32_t SimLastError();

// One open file or device. SimPlatform calls these from whichever thread made the Win32-shaped
// call, without holding any lock of its own, so an implementation guards its own state.
// Close may come from one thread while another is inside Read or Write (a device removed
// during an exchange): it must make that call return, not wait for it.
class SimFile {
 public:
  virtual ~SimFile() = default;

  // ReadFile: blocking, but bounded; true with *done = 0 at the end of a file.
  virtual bool Read(std::span<std::uint8_t> buffer, std::uint32_t* done) = 0;
  // True when a read issued now would never complete (the device holds it): SimPlatform then
  // waits out kDeviceIoTimeoutMs on its clock and fails the read as a cancelled one, as the
  // Win32 backend does, without calling Read.
  virtual bool ReadPending() { return false; }
  // WriteFile: blocking, but bounded.
  virtual bool Write(std::span<const std::uint8_t> data, std::uint32_t* done) = 0;
  // DeviceIoControl with its input and output buffers; *returned gets the bytes written to
  // output. Plain files have no controls, hence the failing default.
  virtual bool DeviceIoControl(std::uint32_t code, std::span<const std::uint8_t> input,
                               std::span<std::uint8_t> output, std::uint32_t* returned) {
    (void)code, (void)input, (void)output;
    *returned = 0;
    return false;
  }
  // CloseHandle. Called once; nothing else is called afterwards through this handle.
  virtual void Close() {}
};

// What a provider makes of a path: not one of its own (mine false: the next provider is asked),
// or its own, with the file it opened or null (the call fails; nothing else is tried).
struct DeviceOpen {
  bool mine = false;
  std::unique_ptr<SimFile> file;
};

// A family of device paths ("\\?\usb#vid_1723...\PIPE00", "\\.\E:"). SimPlatform asks its
// providers in the order they were added, before it looks at the real file system; the first
// that owns the path decides. Called without SimPlatform's locks held, from any thread.
class DeviceFileProvider {
 public:
  virtual ~DeviceFileProvider() = default;
  // One look at the path tells whether it is this provider's and opens it. access, share and
  // creation as CreateFileA got them (kGenericRead, kOpenExisting, ...).
  virtual DeviceOpen Open(std::string_view path, std::uint32_t access, std::uint32_t share,
                          std::uint32_t creation) = 0;
};

}  // namespace platform::sim
