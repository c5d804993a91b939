#include "res/Resources.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "res/ResourceIds.h"

namespace qor {

namespace {

using namespace style;

constexpr uint32_t kDialogBase = kModalFrame | kSetFont | kCaption;
constexpr uint32_t kButton = kChild | kVisible | kTabStop;
constexpr uint32_t kText = kChild | kVisible;

std::vector<DialogTemplate> MakeTemplates() {
  std::vector<DialogTemplate> all;
  all.push_back(
      {kIddAboutBox,
       "About QOR",
       177,
       79,
       "MS Shell Dlg",
       8,
       kDialogBase | kSysMenu,
       0,
       {
           {kIdcStatic, ControlKind::kIcon, 14, 14, 21, 20, "128", kText | kStaticIcon},
           {kIdcStatic, ControlKind::kStatic, 41, 14, 129, 8, "QOR",
            kText | kStaticLeft | kStaticNoPrefix},
           {kIdcBuildLine, ControlKind::kStatic, 40, 26, 130, 8, "", kText | kStaticLeft},
           {kIdcStatic, ControlKind::kStatic, 40, 39, 130, 8, "Copyright (C) 2026 QOR developers",
            kText | kStaticLeft},
           {kIdOk, ControlKind::kPushButton, 120, 58, 50, 14, "OK", kButton | kDefPushButton},
       }});
  all.push_back(
      {kIddQorDialog,
       "QOR",
       320,
       200,
       "MS Shell Dlg",
       8,
       kDialogBase | kSysMenu | kMinimizeBox,
       kExAppWindow,
       {
           {kIdcStatic, ControlKind::kStatic, 7, 7, 306, 8,
            "Right-click on a target in the list below for more options.  Click Refresh "
            "to update the list.",
            kText | kStaticLeft},
           // Not visible: the target list is created over its rectangle.
           {kIdcTargetList, ControlKind::kFrame, 7, 21, 306, 152, "", kChild | kStaticBlackFrame},
           {kIdcRefresh, ControlKind::kPushButton, 207, 179, 50, 14, "Refresh", kButton},
           {kIdCancel, ControlKind::kPushButton, 263, 179, 50, 14, "Quit", kButton},
       }});
  all.push_back({kIddScriptDialog,
                 "Execute Script",
                 320,
                 65,
                 "MS Shell Dlg",
                 8,
                 kDialogBase,
                 kExAppWindow,
                 {
                     {kIdcStatic, ControlKind::kStatic, 9, 7, 65, 8,
                      "Current Operation:", kText | kStaticLeft},
                     {kIdcOperation, ControlKind::kStatic, 78, 7, 235, 8, "", kText | kStaticLeft},
                     {kIdcStatus, ControlKind::kStatic, 78, 19, 235, 8, "", kText | kStaticLeft},
                     // Between the status line and the button: the window keeps its size.
                     {kIdcProgress, ControlKind::kProgress, 78, 31, 235, 8, "", kText},
                     {kIdCancel, ControlKind::kPushButton, 263, 44, 50, 14, "Cancel", kButton},
                 }});
  all.push_back(
      {kIddIpAddressDialog,
       "Assign IP Address",
       179,
       50,
       "MS Shell Dlg",
       8,
       kDialogBase | kSysMenu | kMinimizeBox,
       kExAppWindow,
       {
           {kIdcStatic, ControlKind::kStatic, 9, 9, 65, 8, "New IP Address:", kText | kStaticLeft},
           {kIdcIpAddress, ControlKind::kIpAddress, 72, 7, 100, 15, "",
            kChild | kVisible | kTabStop},
           {kIdOk, ControlKind::kPushButton, 122, 29, 50, 14, "OK", kButton | kDefPushButton},
           {kIdCancel, ControlKind::kPushButton, 63, 29, 50, 14, "Cancel", kButton},
       }});
  return all;
}

// The program icon, 32 by 32: a device on the network, sending out its announcement.
// clang-format off
constexpr std::array<const char*, 32> kMainIconArt = {
    "................................",
    "................................",
    "................................",
    "...........YYYYYYYYYY...........",
    ".........YYYYYY..YYYYYY.........",
    "........YYY..........YYY........",
    ".......YYY............YYY.......",
    "......YY....YYYYYYYY....YY......",
    "...........YYYY..YYYY...........",
    ".........YYY........YYY.........",
    "..........Y..........Y..........",
    ".............YYYYYY.............",
    "............YYY..YYY............",
    "..............YYYY..............",
    "..............YYYY..............",
    "...............KK...............",
    "...............KK...............",
    "...KKKKKKKKKKKKKKKKKKKKKKKKKK...",
    "..KLLLLLLLLLLLLLLLLLLLLLLLLLLK..",
    "..KLLLLLLLLLLLLLLLLLLLLLLLLLLK..",
    "..KBBBBBBBBBBBBBBBBBBBBBBBBBBK..",
    "..KBBBBBBBBBBBBBBBBBBBBBBBBBBK..",
    "..KBBBBBBBBBBBBBBBBBBBBBBBBBBK..",
    "..KBBBGGBBGGBBGGBBBBBBWWWWBBBK..",
    "..KBBBGGBBGGBBGGBBBBBBWWWWBBBK..",
    "..KBBBBBBBBBBBBBBBBBBBBBBBBBBK..",
    "..KBBBBBBBBBBBBBBBBBBBBBBBBBBK..",
    "..KBBBBBBBBBBBBBBBBBBBBBBBBBBK..",
    "...KKKKKKKKKKKKKKKKKKKKKKKKKK...",
    ".....KK..................KK.....",
    "................................",
    "................................",
};
// clang-format on

uint32_t IconColour(char c) {
  switch (c) {
    case 'K':
      return 0xFF1B3A5C;
    case 'B':
      return 0xFF2E6DB4;
    case 'L':
      return 0xFF6FA8DC;
    case 'W':
      return 0xFFFFFFFF;
    case 'G':
      return 0xFF3CB043;
    case 'Y':
      return 0xFFF2A81D;
    default:
      return 0x00000000;
  }
}

IconImage MakeMainIcon() {
  IconImage icon{32, 32, {}};
  icon.pixels.reserve(32 * 32);
  for (const char* row : kMainIconArt) {
    for (int x = 0; x < 32; ++x) icon.pixels.push_back(IconColour(row[x]));
  }
  return icon;
}

}  // namespace

const ControlTemplate* DialogTemplate::Control(int controlId) const {
  auto it = std::find_if(controls.begin(), controls.end(),
                         [controlId](const ControlTemplate& c) { return c.id == controlId; });
  return it == controls.end() ? nullptr : &*it;
}

bool DialogTemplate::IsPushButton(int controlId) const {
  const ControlTemplate* control = Control(controlId);
  return control != nullptr && control->kind == ControlKind::kPushButton;
}

int DialogTemplate::DefaultButton() const {
  for (const auto& control : controls) {
    if (control.kind == ControlKind::kPushButton && (control.style & kDefPushButton) != 0) {
      return control.id;
    }
  }
  return kIdOk;
}

const DialogTemplate* FindDialogTemplate(int id) {
  static const std::vector<DialogTemplate> templates = MakeTemplates();
  auto it = std::find_if(templates.begin(), templates.end(),
                         [id](const DialogTemplate& t) { return t.id == id; });
  return it == templates.end() ? nullptr : &*it;
}

const std::map<int, std::string>& StringResources() {
  static const std::map<int, std::string> strings = {
      {kIdsAboutBox, "&About QOR..."},
      {kIdpSocketsInitFailed, "Windows sockets initialization failed."},
  };
  return strings;
}

std::string LoadStringResource(int id) {
  const auto& strings = StringResources();
  auto it = strings.find(id);
  return it == strings.end() ? std::string() : it->second;
}

const IconImage& LoadIconResource(int id) {
  static const IconImage main = MakeMainIcon();
  static const IconImage none;
  return id == kIdrMainFrame ? main : none;
}

}  // namespace qor
