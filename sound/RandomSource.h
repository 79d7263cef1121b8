#pragma once

// The C library's random() generator, run on state of its own: seeded as
// srandom() seeds it and drawing the same numbers in the same order, so each
// voice can have a generator of its own and its state can be saved and put
// back. It is the additive feedback generator r[i] = r[i-3] + r[i-31]
// (mod 2^32), output without its lowest bit, on 31 words of state.

#include "SupportDefs.h"

#include <array>

class RandomSource {
public:
    static constexpr int kWords = 31;

    // What the generator carries from one draw to the next.
    struct State {
        std::array<uint32, kWords> words {};
        uint8 front = 0; // the word the next draw adds to and returns
        uint8 rear = 0;  // the word added to it

        bool operator==(const State&) const = default;
    };

    // Seeded as srandom(1) seeds the C library's generator.
    RandomSource() { Seed(1); }
    explicit RandomSource(unsigned seed) { Seed(seed); }

    // As srandom(seed): 0 is taken as 1.
    void Seed(unsigned seed);
    // The next draw, 0 ... 2^31 - 1, as random() gives it.
    int32 Next();
    // random() scaled by 2^-31 in double precision: uniform in [0, 1). Stored
    // into a float, the largest draws round up to 1.0 itself, and a product
    // such as u * 1270.0 to its full factor.
    double Uniform01() { return static_cast<double>(Next()) * 4.656612873077393e-10; }

    State Save() const { return fState; }
    // Puts back a saved state; false, changing nothing, for one that no
    // sequence of draws can reach (the two positions not 3 words apart).
    bool Restore(const State& state);

private:
    static constexpr int kSeparation = 3;

    State fState;
};
