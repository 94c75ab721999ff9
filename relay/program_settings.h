// What the relay program keeps beside its window: the caption, the window placement in
// the user's profile, "WinSize.ini", and the listening port setting.
#pragma once

#include <optional>
#include <string>

#include "common/program_version.h"  // ReadProductVersion

// The frame's caption around the help-desk telephone number.
std::string FrameCaption(const std::string& helpdesk_number);

// The frame's normal placement, kept in the user's profile file (section
// "Initialization", values "left", "top", "Width", "Height").
struct CFramePlacement {
  int left = 0;
  int top = 0;
  int width = 1024;
  int height = 768;
};

// Missing values take the defaults above.
CFramePlacement LoadFramePlacement(const std::string& profile_path);
// Creates the profile's folder when needed. false when a value could not be written.
bool StoreFramePlacement(const std::string& profile_path, const CFramePlacement& placement);

// "WinSize.ini": section "POSITION", "X", "Y" and "CX" in decimal. 0 or -1.
int WriteWinSize(const std::string& path, int x, int y, int cx);

// A listening port given as text: a decimal number from 1 to 65535 and nothing else.
std::optional<unsigned short> ParseListenPort(const char* text);
