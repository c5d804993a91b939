#pragma once

namespace qor {

// Resource and control ids, shared by the window classes and every backend.
inline constexpr int kIddAboutBox = 100;
inline constexpr int kIdsAboutBox = 101;  // "&About QOR..."
inline constexpr int kIddQorDialog = 102;
inline constexpr int kIddScriptDialog = 103;
inline constexpr int kIdpSocketsInitFailed = 103;  // string table: its own numbering
inline constexpr int kIddIpAddressDialog = 104;
inline constexpr int kIdrMainFrame = 128;  // the program icon

inline constexpr int kIdcTargetList = 1001;
inline constexpr int kIdcOperation = 1002;
inline constexpr int kIdcStatus = 1003;
inline constexpr int kIdcIpAddress = 1003;
inline constexpr int kIdcBuildLine = 1004;
inline constexpr int kIdcProgress = 1005;
inline constexpr int kIdcRefresh = 3;

// Ids of the dialogs' standard buttons.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

// Controls without an id of their own.
inline constexpr int kIdcStatic = -1;

}  // namespace qor
