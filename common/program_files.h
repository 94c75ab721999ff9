// Names of the programs and files in the program folder, shared by the relay, the service
// manager and the update applier (the update list and the process look-up name the programs so).
#pragma once

constexpr char kRelayExe[] = "Veltrane.exe";
constexpr char kServiceExe[] = "VeltraneService.exe";
constexpr char kApplierExe[] = "ZervRun.exe";

constexpr char kLogFolder[] = "Log";
constexpr char kDownloadFolder[] = "downfile";
constexpr char kSessionKeyIni[] = "SessionKey.ini";
constexpr char kUpdateIni[] = "Update.ini";
constexpr char kWinSizeIni[] = "WinSize.ini";
// The HTTP client's cookies (read, never written).
constexpr char kCookieFile[] = "cookie.txt";
