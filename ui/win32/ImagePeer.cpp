// A model picture.
#include "ui/win32/ImagePeer.h"

#include <cctype>
#include <string>

#include "ui/win32/Win32Toolkit.h"

namespace ui::win32 {

namespace {
constexpr COLORREF kTransparentKey = RGB(255, 0, 255);
}

ImagePeer::~ImagePeer() {
  if (picture_ != nullptr) ::DeleteObject(picture_);
}

void ImagePeer::Create() {
  std::string resource = control_.Name();
  for (char& c : resource) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  picture_ = static_cast<HBITMAP>(
      ::LoadImageA(::GetModuleHandleA(nullptr), resource.c_str(), IMAGE_BITMAP, 0, 0, 0));
  CreateChild(Win32Toolkit::kPictureClass, 0, 0);
}

LRESULT CALLBACK ImagePeer::PictureProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return NativeControl::ContainerProc(window, message, wParam, lParam);
}

bool ImagePeer::HandleMessage(UINT message, WPARAM, LPARAM, LRESULT& result) {
  if (message != WM_PAINT) return false;
  Paint();
  result = 0;
  return true;
}

void ImagePeer::Paint() {
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(window_, &paint);
  RECT client;
  ::GetClientRect(window_, &client);
  ::FillRect(dc, &client, ::GetSysColorBrush(COLOR_BTNFACE));
  BITMAP info{};
  if (picture_ != nullptr && ::GetObjectA(picture_, sizeof info, &info) != 0) {
    HDC source = ::CreateCompatibleDC(dc);
    HGDIOBJ old = ::SelectObject(source, picture_);
    ::TransparentBlt(dc, 0, 0, client.right, client.bottom, source, 0, 0, info.bmWidth,
                     info.bmHeight, kTransparentKey);
    ::SelectObject(source, old);
    ::DeleteDC(source);
  }
  ::EndPaint(window_, &paint);
}

}  // namespace ui::win32
