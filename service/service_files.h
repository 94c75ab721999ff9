// Names of the programs and files beside the service manager.
#pragma once

constexpr char kRelayExe[] = "Veltrane.exe";
constexpr char kApplierExe[] = "ZervRun.exe";
constexpr char kServiceExe[] = "VeltraneService.exe";

constexpr char kLogFolder[] = "Log";
constexpr char kDownloadFolder[] = "downfile";

constexpr char kSessionKeyIni[] = "SessionKey.ini";
constexpr char kUpdateIni[] = "Update.ini";

// The single-instance mutex of the service manager.
constexpr char kServiceMutexName[] = "VELTRANE SERVICE";
