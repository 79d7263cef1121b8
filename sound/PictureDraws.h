#pragma once

// The random choices of the picture that goes with a voice: its colours, and
// where each word starts when it is drawn. They draw from the voice's own
// generator, in between the voice's draws, so whoever renders the voice
// without showing it takes them too, at the same moments.

#include "RandomSource.h"
#include "SupportDefs.h"

#include <array>

// The words the picture shows, in the order they are drawn.
inline constexpr std::array<const char*, 2> kPictureWords = { "gondavel", "wubbix" };

// Red, green and blue, each 0 ... 254.
struct PictureColors {
    std::array<uint8, 3> back;
    std::array<uint8, 3> text;
};

// Where a word's baseline starts.
struct WordPlace {
    float x;
    float y;
};

// New colours: the background's red, green and blue, then the text's.
PictureColors RollColors(RandomSource& random);

// The places of the words in a view whose frame reaches `right` and
// `bottom`: baselines from a view's width left of it to its right edge, so
// mostly fragments show. A view less than a unit wide or high has no place
// for a baseline: then nothing is drawn and no number taken, and it returns
// false.
bool PlaceWords(RandomSource& random, float right, float bottom,
    std::array<WordPlace, kPictureWords.size()>& places);
