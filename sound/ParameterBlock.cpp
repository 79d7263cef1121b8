#include "ParameterBlock.h"

constinit ParameterBlock globalWubbix;
