#include "RandomSource.h"

void RandomSource::Seed(unsigned seed)
{
    if (seed == 0)
        seed = 1;
    // The words follow a Lehmer generator, 16807 * r mod (2^31 - 1), worked
    // out without overflowing 31 bits; the first word is the seed itself,
    // read as a signed 32-bit number.
    auto word = static_cast<int32>(seed);
    fState.words[0] = seed;
    for (int i = 1; i < kWords; i++) {
        int32 high = word / 127773;
        int32 low = word % 127773;
        word = 16807 * low - 2836 * high;
        if (word < 0)
            word += 2147483647;
        fState.words[i] = static_cast<uint32>(word);
    }
    fState.front = kSeparation;
    fState.rear = 0;
    // The first ten rounds are thrown away, as the C library does.
    for (int i = 0; i < 10 * kWords; i++)
        Next();
}

int32 RandomSource::Next()
{
    uint32& front = fState.words[fState.front];
    front += fState.words[fState.rear];
    auto result = static_cast<int32>(front >> 1);
    fState.front = static_cast<uint8>((fState.front + 1) % kWords);
    fState.rear = static_cast<uint8>((fState.rear + 1) % kWords);
    return result;
}

bool RandomSource::Restore(const State& state)
{
    if (state.front >= kWords || state.rear >= kWords
        || state.front != (state.rear + kSeparation) % kWords)
        return false;
    fState = state;
    return true;
}
