// allowed
#include "applier/update_applier.h"
#include "common/program_files.h"
#include "ok_local.h"
