// The work order's mode: what the product asks this run of the updater to do.
#pragma once

#include <cstdint>

enum UpdateMode : int32_t {
  ModeOptional = 1,    // the user may decline and keep the product
  ModeMandatory = 2,   // declining also asks the product to exit
  ModeBackground = 3,  // no window: pre-load into the backup folder
};
