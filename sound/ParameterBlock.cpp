#include "sound/ParameterBlock.h"

constinit ParameterBlock globalWubbix;
