// The in-memory controls of the window-toolkit seam: state, parent links and peer notification.
#include "ui/Controls.h"

#include <algorithm>
#include <utility>

#include "ui/Toolkit.h"

namespace ui {

Control::Control(Control* parent, std::string name, Rect bounds)
    : parent_(parent), name_(std::move(name)), bounds_(bounds) {
  if (parent_ != nullptr) parent_->children_.push_back(this);
}

Control::~Control() {
  if (parent_ != nullptr) std::erase(parent_->children_, this);
  for (Control* child : children_) child->parent_ = nullptr;
}

void Control::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  NotifyChanged();
}

void Control::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  NotifyChanged();
}

void Control::SetCaption(const std::string& caption) {
  if (caption_ == caption) return;
  caption_ = caption;
  NotifyChanged();
}

void Control::SetBounds(const Rect& bounds) {
  if (bounds_ == bounds) return;
  bounds_ = bounds;
  NotifyChanged();
}

void Control::SetFont(Font font) {
  font_ = std::move(font);
  NotifyChanged();
}

void Control::NotifyChanged() {
  if (peer_ != nullptr) peer_->Changed(*this);
}

Form::Form(std::string name, int clientWidth, int clientHeight)
    : Control(nullptr, std::move(name), Rect{0, 0, clientWidth, clientHeight}) {}

long Form::Dispatch(unsigned message, unsigned long, long) {
  return message == kWmQueryEndSession ? 1 : 0;
}

void Button::Click() {
  if (!Enabled()) return;
  if (onClick) onClick();
}

void ComboBox::Clear() {
  items_.clear();
  itemIndex_ = -1;
  text_.clear();
  NotifyChanged();
}

void ComboBox::AddItem(const std::string& text) {
  items_.push_back(text);
  NotifyChanged();
}

void ComboBox::SetItemIndex(int index) {
  if (index >= 0 && index < static_cast<int>(items_.size())) {
    itemIndex_ = index;
    text_ = items_[static_cast<size_t>(index)];
  } else {
    itemIndex_ = -1;
    text_.clear();
  }
  NotifyChanged();
}

void ComboBox::PickItem(int index) {
  if (index < 0 || index >= static_cast<int>(items_.size())) return;
  SetItemIndex(index);
  if (onChange) onChange();
}

void ComboBox::TypeText(const std::string& text) {
  itemIndex_ = -1;
  text_ = text;
  NotifyChanged();
  if (onChange) onChange();
}

void ListView::Clear() {
  items_.clear();
  NotifyChanged();
}

void ListView::AddItem(const std::string& caption, int imageIndex) {
  items_.push_back(Item{caption, imageIndex});
  NotifyChanged();
}

void ListView::SetImageIndex(int index, int imageIndex) {
  if (index < 0 || index >= Count()) return;
  items_[static_cast<size_t>(index)].imageIndex = imageIndex;
  NotifyChanged();
}

void ListView::AddColumn(int width) {
  columnWidths_.push_back(width);
  NotifyChanged();
}

void Memo::Clear() {
  lines_.clear();
  NotifyChanged();
}

void Memo::Append(const std::string& line) {
  lines_.push_back(line);
  NotifyChanged();
}

Timer::Timer(Control* parent, std::string name, unsigned intervalMs)
    : Control(parent, std::move(name), Rect{}), intervalMs_(intervalMs) {
  TheToolkit().RegisterTimer(this);
}

// The toolkit may already be gone at program end; then there is nothing left to drive the timer.
Timer::~Timer() {
  if (Toolkit* toolkit = InstalledToolkit()) toolkit->UnregisterTimer(this);
}

}  // namespace ui
