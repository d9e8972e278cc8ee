// The step list's list view. Rows are rebuilt only when their texts change; a new icon is set on
// its row alone, so the list does not flicker while a run marks its steps.
#include "ui/win32/ListViewPeer.h"

#include <commctrl.h>

#include "ui/win32/Win32Toolkit.h"

namespace ui::win32 {

void ListViewPeer::Create() {
  CreateChild(WC_LISTVIEWA,
              LVS_REPORT | LVS_NOCOLUMNHEADER | LVS_SINGLESEL | LVS_SHAREIMAGELISTS | WS_TABSTOP,
              WS_EX_CLIENTEDGE);
  if (List().flatScrollBars) {
    ListView_SetExtendedListViewStyleEx(window_, LVS_EX_FLATSB, LVS_EX_FLATSB);
  }
  if (List().smallImages != nullptr) {
    ListView_SetImageList(window_, toolkit_.StatusImages(), LVSIL_SMALL);
  }
}

HBRUSH ListViewPeer::ControlColour(HDC) {
  return ::GetSysColorBrush(COLOR_WINDOW);
}

void ListViewPeer::Sync() {
  ApplyCommon();
  syncing_ = true;
  SyncColumns();
  SyncItems();
  syncing_ = false;
}

void ListViewPeer::SyncColumns() {
  const std::vector<int>& widths = List().ColumnWidths();
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (i < shownColumns_.size() && shownColumns_[i] == widths[i]) continue;
    LVCOLUMNA column{};
    column.mask = LVCF_WIDTH;
    column.cx = toolkit_.Scale(widths[i]);
    if (i < shownColumns_.size()) {
      ListView_SetColumnWidth(window_, static_cast<int>(i), toolkit_.Scale(widths[i]));
    } else {
      ::SendMessageA(window_, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
    }
  }
  shownColumns_ = widths;
}

void ListViewPeer::InsertItem(int index, const ui::ListView::Item& item) {
  LVITEMA row{};
  row.mask = LVIF_TEXT | LVIF_IMAGE;
  row.iItem = index;
  row.pszText = const_cast<char*>(item.caption.c_str());
  row.iImage = item.imageIndex;
  ::SendMessageA(window_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&row));
}

void ListViewPeer::SyncItems() {
  const std::vector<ui::ListView::Item>& items = List().Items();
  bool sameRows = items.size() == shown_.size();
  for (std::size_t i = 0; sameRows && i < items.size(); ++i) {
    sameRows = items[i].caption == shown_[i].caption;
  }
  if (!sameRows) {
    ListView_DeleteAllItems(window_);
    for (std::size_t i = 0; i < items.size(); ++i) InsertItem(static_cast<int>(i), items[i]);
  } else {
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i].imageIndex == shown_[i].imageIndex) continue;
      LVITEMA row{};
      row.mask = LVIF_IMAGE;
      row.iItem = static_cast<int>(i);
      row.iImage = items[i].imageIndex;
      ::SendMessageA(window_, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&row));
    }
  }
  shown_ = items;
}

int ListViewPeer::ShownCount() const {
  return ListView_GetItemCount(window_);
}

int ListViewPeer::ShownImage(int index) const {
  LVITEMA row{};
  row.mask = LVIF_IMAGE;
  row.iItem = index;
  ::SendMessageA(window_, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&row));
  return row.iImage;
}

std::string ListViewPeer::ShownText(int index) const {
  char text[512] = {};
  LVITEMA row{};
  row.iSubItem = 0;
  row.pszText = text;
  row.cchTextMax = sizeof text;
  const LRESULT length =
      ::SendMessageA(window_, LVM_GETITEMTEXTA, index, reinterpret_cast<LPARAM>(&row));
  return std::string(text, static_cast<std::size_t>(length > 0 ? length : 0));
}

}  // namespace ui::win32
