#include "ui/win32/Win32ListWindow.h"

#include <commctrl.h>

#include <string>

#include "platform/WideText.h"
#include "ui/win32/Win32DialogWindow.h"

namespace qor::win32 {

struct Win32ListWindow::State {
  Win32DialogWindow* dialog = nullptr;
  ui::ListEvents* events = nullptr;
  HWND window = nullptr;
};

Win32ListWindow::Win32ListWindow(Win32DialogWindow& dialog, int id, const Rect& rect,
                                 uint32_t style, ui::ListEvents& events)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.events = &events;
  s.window =
      CreateWindowExW(0, WC_LISTVIEWW, L"", style, rect.left, rect.top, rect.Width(), rect.Height(),
                      dialog.Handle(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                      GetModuleHandleW(nullptr), nullptr);
  if (s.window == nullptr) return;
  // The dialog's font, as its other controls have.
  SendMessageW(s.window, WM_SETFONT, SendMessageW(dialog.Handle(), WM_GETFONT, 0, 0), FALSE);
  s.dialog = &dialog;
  dialog.AddList(*this);
}

Win32ListWindow::~Win32ListWindow() {
  State& s = *state_;
  if (s.dialog != nullptr) s.dialog->RemoveList(*this);
  if (s.window != nullptr && IsWindow(s.window)) DestroyWindow(s.window);
}

HWND Win32ListWindow::Handle() const { return state_->window; }

void Win32ListWindow::ForgetDialog() { state_->dialog = nullptr; }

std::optional<LRESULT> Win32ListWindow::Notify(const NMHDR& header) {
  if (header.code != static_cast<UINT>(NM_RCLICK)) return std::nullopt;
  const auto& click = reinterpret_cast<const NMITEMACTIVATE&>(header);
  // Where the mouse was when the click's message was taken from the queue.
  const DWORD position = GetMessagePos();
  const Point screen{static_cast<short>(LOWORD(position)), static_cast<short>(HIWORD(position))};
  return state_->events->RightClickEvent(click.iItem, screen);
}

void Win32ListWindow::SetExtendedStyle(uint32_t exStyle) {
  SendMessageW(state_->window, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, static_cast<LPARAM>(exStyle));
}

void Win32ListWindow::InsertColumn(int column, const std::string& heading, int format, int width) {
  std::wstring text = WidenText(heading, TextConversion::kLenient);
  LVCOLUMNW entry{};
  entry.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  entry.fmt = format;
  entry.cx = width;
  entry.pszText = text.data();
  entry.iSubItem = column;
  SendMessageW(state_->window, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column),
               reinterpret_cast<LPARAM>(&entry));
}

void Win32ListWindow::InsertItem(int row, const std::string& text) {
  std::wstring wide = WidenText(text, TextConversion::kLenient);
  LVITEMW item{};
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.pszText = wide.data();
  SendMessageW(state_->window, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void Win32ListWindow::SetItemText(int row, int column, const std::string& text) {
  std::wstring wide = WidenText(text, TextConversion::kLenient);
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = wide.data();
  SendMessageW(state_->window, LVM_SETITEMTEXTW, static_cast<WPARAM>(row),
               reinterpret_cast<LPARAM>(&item));
}

std::string Win32ListWindow::ItemText(int row, int column) const {
  // The list tells how much it copied, not how long the text is: grow until it fits.
  for (size_t size = 256;; size *= 2) {
    std::wstring text(size, L'\0');
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(size);
    const auto copied =
        static_cast<size_t>(SendMessageW(state_->window, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                         reinterpret_cast<LPARAM>(&item)));
    if (copied + 1 < size) {
      text.resize(copied);
      return NarrowText(text);
    }
  }
}

int Win32ListWindow::ItemCount() const {
  return static_cast<int>(SendMessageW(state_->window, LVM_GETITEMCOUNT, 0, 0));
}

void Win32ListWindow::AppendRows(const std::vector<std::vector<std::string>>& rows) {
  if (rows.empty()) return;
  // Room for the batch at once, and one redraw for it, not one per row.
  HWND list = state_->window;
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  SendMessageW(list, LVM_SETITEMCOUNT, static_cast<WPARAM>(ItemCount() + rows.size()), 0);
  ui::ListWindow::AppendRows(rows);
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}

void Win32ListWindow::DeleteAllItems() { SendMessageW(state_->window, LVM_DELETEALLITEMS, 0, 0); }

}  // namespace qor::win32
