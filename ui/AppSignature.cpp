#include "AppSignature.h"

const char* app_signature = "application/x-vnd.qOm.gondavel_wubbix_x86_tazzo";
