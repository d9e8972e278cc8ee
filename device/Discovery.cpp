// Discovery entry points used by the console. The USB port tree walk and the device list build
// are not part of this program yet: until they are, the list holds only what the caller puts in
// DeviceList, a removal scan finds nothing departed, and the USB 3.0 section of the log is empty.
#include "device/Discovery.h"

bool SecondPass = false;
bool ListChanged = false;

void ScanUsbDevices(ui::Form& /*mainWindow*/) {}

bool BuildDeviceList() { return ListChanged; }

void DropDepartedPorts() {}

void CloseAllDevices() {}

void LogUsb3Topology() {}
