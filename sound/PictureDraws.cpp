#include "PictureDraws.h"

PictureColors RollColors(RandomSource& random)
{
    PictureColors colors;
    for (uint8& value : colors.back)
        value = static_cast<uint8>(random.Next() % 255);
    for (uint8& value : colors.text)
        value = static_cast<uint8>(random.Next() % 255);
    return colors;
}

bool PlaceWords(RandomSource& random, float right, float bottom,
    std::array<WordPlace, kPictureWords.size()>& places)
{
    const auto width = static_cast<long>(right);
    const auto height = static_cast<long>(bottom);
    if (width < 1 || height < 1)
        return false;
    for (WordPlace& place : places) {
        place.x = static_cast<float>(random.Next() % (2 * width)) - right;
        place.y = static_cast<float>(random.Next() % height);
    }
    return true;
}
