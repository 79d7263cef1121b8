#include "MediaFormat.h"

const media_raw_audio_format media_raw_audio_format::wildcard = { 0.0f, 0, 0, 0, 0 };
