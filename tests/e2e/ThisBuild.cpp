#include "TestSupport.h"

const char* const kProgramPath = GW_PROGRAM_PATH;
const char* const kCtlPath = GW_CTL_PATH;
const char* const kRenderPath = GW_RENDER_PATH;
const char* const kPlayFixedPath = GW_PLAY_FIXED_PATH;
const char* const kRosterProbePath = GW_ROSTER_PROBE_PATH;
const char* const kWindowProbePath = GW_WINDOW_PROBE_PATH;
const bool kSanitized = GW_SANITIZED;
