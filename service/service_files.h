// Names of the programs and files beside the service manager.
#pragma once

#include "common/program_files.h"

// The single-instance mutex of the service manager.
constexpr char kServiceMutexName[] = "VELTRANE SERVICE";
