// The native peer of each control kind.
#include "ui/win32/PeerFactory.h"

#include "ui/win32/ButtonPeer.h"
#include "ui/win32/ComboBoxPeer.h"
#include "ui/win32/ImagePeer.h"
#include "ui/win32/LabelPeer.h"
#include "ui/win32/ListViewPeer.h"
#include "ui/win32/MemoPeer.h"
#include "ui/win32/PanelPeer.h"

namespace ui::win32 {

std::unique_ptr<NativeControl> MakePeer(Win32Toolkit& toolkit, ui::Control& control) {
  if (dynamic_cast<ui::Button*>(&control)) return std::make_unique<ButtonPeer>(toolkit, control);
  if (dynamic_cast<ui::ComboBox*>(&control)) {
    return std::make_unique<ComboBoxPeer>(toolkit, control);
  }
  if (dynamic_cast<ui::ListView*>(&control)) {
    return std::make_unique<ListViewPeer>(toolkit, control);
  }
  if (dynamic_cast<ui::Memo*>(&control)) return std::make_unique<MemoPeer>(toolkit, control);
  if (dynamic_cast<ui::Image*>(&control)) return std::make_unique<ImagePeer>(toolkit, control);
  if (dynamic_cast<ui::Label*>(&control)) return std::make_unique<LabelPeer>(toolkit, control);
  if (dynamic_cast<ui::Panel*>(&control)) return std::make_unique<PanelPeer>(toolkit, control);
  return nullptr;
}

}  // namespace ui::win32
