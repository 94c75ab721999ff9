// Names the update applier uses beside itself.
#pragma once

// The program files, as the update list and the process look-up name them.
constexpr char kRelayExe[] = "Veltrane.exe";
constexpr char kServiceExe[] = "VeltraneService.exe";
constexpr char kApplierExe[] = "ZervRun.exe";

constexpr char kDownloadFolder[] = "downfile";
constexpr char kSessionKeyIni[] = "SessionKey.ini";
constexpr char kUpdateIni[] = "Update.ini";

// The single-instance mutex of the update applier.
constexpr char kApplierMutexName[] = "ZERVRUN";
