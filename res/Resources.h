#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qor {

// Window style bits, with the values the Windows dialog templates use, so a Win32 backend can
// hand them on unchanged and the others can read them.
namespace style {
inline constexpr uint32_t kChild = 0x40000000;
inline constexpr uint32_t kVisible = 0x10000000;
inline constexpr uint32_t kBorder = 0x00800000;
inline constexpr uint32_t kCaption = 0x00C00000;
inline constexpr uint32_t kSysMenu = 0x00080000;
inline constexpr uint32_t kMinimizeBox = 0x00020000;
inline constexpr uint32_t kTabStop = 0x00010000;
inline constexpr uint32_t kModalFrame = 0x00000080;   // DS_MODALFRAME
inline constexpr uint32_t kSetFont = 0x00000040;      // DS_SETFONT
inline constexpr uint32_t kExAppWindow = 0x00040000;  // WS_EX_APPWINDOW
inline constexpr uint32_t kStaticLeft = 0x00000000;
inline constexpr uint32_t kStaticIcon = 0x00000003;
inline constexpr uint32_t kStaticBlackFrame = 0x00000007;
inline constexpr uint32_t kStaticNoPrefix = 0x00000080;
inline constexpr uint32_t kDefPushButton = 0x00000001;
inline constexpr uint32_t kListReport = 0x00000001;     // LVS_REPORT
inline constexpr uint32_t kListSingleSel = 0x00000004;  // without it, several rows at once
inline constexpr uint32_t kListShowSelAlways = 0x00000008;
inline constexpr uint32_t kListExGridLines = 0x00000001;
inline constexpr uint32_t kListExFullRowSelect = 0x00000020;
}  // namespace style

enum class ControlKind {
  kStatic,      // text
  kIcon,        // a static showing an icon resource
  kFrame,       // a static frame, used as a placeholder
  kPushButton,  // kDefPushButton in its style makes it the default button
  kIpAddress,   // four-field IPv4 address editor
  kProgress,    // a progress bar (the standard progress class), positions in a range 0..N
};

// One control of a dialog template. The rectangle is in dialog units.
struct ControlTemplate {
  int id = -1;
  ControlKind kind = ControlKind::kStatic;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  std::string text;  // for kIcon, the icon resource id as decimal text
  uint32_t style = 0;
};

// A dialog as the resource script describes it; every backend lays out its windows from this.
struct DialogTemplate {
  int id = 0;
  std::string caption;
  int width = 0;  // dialog units
  int height = 0;
  std::string fontName;
  int pointSize = 0;
  uint32_t style = 0;
  uint32_t exStyle = 0;
  std::vector<ControlTemplate> controls;

  [[nodiscard]] bool Has(uint32_t bits) const { return (style & bits) == bits; }
  [[nodiscard]] const ControlTemplate* Control(int controlId) const;
  [[nodiscard]] bool IsPushButton(int controlId) const;
  // The push button marked kDefPushButton; kIdOk when none is, as on Windows.
  [[nodiscard]] int DefaultButton() const;
};

// A 32-bit image, rows top to bottom, pixels as 0xAARRGGBB.
struct IconImage {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
};

// nullptr when there is no such template.
[[nodiscard]] const DialogTemplate* FindDialogTemplate(int id);
// The string table entry; empty when there is none.
[[nodiscard]] std::string LoadStringResource(int id);
// The whole string table, by id.
[[nodiscard]] const std::map<int, std::string>& StringResources();
// An empty image when there is no such icon.
[[nodiscard]] const IconImage& LoadIconResource(int id);

}  // namespace qor
