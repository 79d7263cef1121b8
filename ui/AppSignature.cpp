#include "AppSignature.h"

#include "ProgramInfo.h"

const char* app_signature = kProgramSignature;
