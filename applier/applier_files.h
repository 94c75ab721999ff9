// Names the update applier uses beside itself.
#pragma once

#include "common/program_files.h"

// The single-instance mutex of the update applier.
constexpr char kApplierMutexName[] = "ZERVRUN";
