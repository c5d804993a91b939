#include "ui/win32/Win32DialogTemplate.h"

#include <string>

#include "platform/WideText.h"

namespace qor::win32 {
namespace {

// The predefined classes a template names by number.
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kStaticAtom = 0x0082;

class Writer {
 public:
  explicit Writer(std::vector<WORD>& words) : words_(words) {}
  void Word(WORD value) { words_.push_back(value); }
  void DoubleWord(DWORD value) {
    Word(LOWORD(value));
    Word(HIWORD(value));
  }
  void Short(int value) { Word(static_cast<WORD>(static_cast<short>(value))); }
  // A string of the template: UTF-16, ended by a zero.
  void Text(const std::string& text) {
    for (const wchar_t c : WidenText(text, TextConversion::kLenient)) Word(static_cast<WORD>(c));
    Word(0);
  }
  void Ordinal(WORD value) {
    Word(0xFFFF);
    Word(value);
  }
  // Each control starts on a 4-byte boundary.
  void AlignToDoubleWord() {
    if (words_.size() % 2 != 0) Word(0);
  }

 private:
  std::vector<WORD>& words_;
};

void WriteClass(Writer& out, ControlKind kind) {
  switch (kind) {
    case ControlKind::kPushButton:
      out.Ordinal(kButtonAtom);
      return;
    case ControlKind::kIpAddress:
      out.Text("SysIPAddress32");
      return;
    case ControlKind::kProgress:
      out.Text("msctls_progress32");
      return;
    case ControlKind::kStatic:
    case ControlKind::kIcon:
    case ControlKind::kFrame:
      out.Ordinal(kStaticAtom);
      return;
  }
  out.Ordinal(kStaticAtom);
}

void WriteControl(Writer& out, const ControlTemplate& control) {
  out.AlignToDoubleWord();
  out.DoubleWord(0);  // help id
  out.DoubleWord(0);  // extended style
  out.DoubleWord(control.style);
  out.Short(control.x);
  out.Short(control.y);
  out.Short(control.width);
  out.Short(control.height);
  out.DoubleWord(
      static_cast<DWORD>(control.id));  // kIdcStatic stays -1, as resource files write it
  WriteClass(out, control.kind);
  if (control.kind == ControlKind::kIcon) {
    // The icon resource by number, loaded by the static control from the program's resources.
    out.Ordinal(static_cast<WORD>(std::stoi(control.text)));
  } else {
    out.Text(control.text);
  }
  out.Word(0);  // no creation data
}

}  // namespace

Win32DialogTemplate::Win32DialogTemplate(const DialogTemplate& dialog) {
  Writer out(words_);
  out.Word(1);       // version
  out.Word(0xFFFF);  // an extended template
  out.DoubleWord(0);
  out.DoubleWord(dialog.exStyle);
  out.DoubleWord(dialog.style | kDialogStyle);
  out.Word(static_cast<WORD>(dialog.controls.size()));
  out.Short(0);
  out.Short(0);
  out.Short(dialog.width);
  out.Short(dialog.height);
  out.Word(0);  // no menu
  out.Word(0);  // the dialog class
  out.Text(dialog.caption);
  if (dialog.Has(style::kSetFont)) {
    out.Word(static_cast<WORD>(dialog.pointSize));
    out.Word(FW_NORMAL);
    out.Word(MAKEWORD(FALSE, DEFAULT_CHARSET));  // italic, then character set
    out.Text(dialog.fontName);
  }
  for (const ControlTemplate& control : dialog.controls) WriteControl(out, control);
}

const DLGTEMPLATE* Win32DialogTemplate::Get() const {
  return reinterpret_cast<const DLGTEMPLATE*>(words_.data());
}

size_t Win32DialogTemplate::SizeInBytes() const { return words_.size() * sizeof(WORD); }

}  // namespace qor::win32
