#pragma once

// Plain geometry values. Coordinates are floats with y growing downward; a
// rectangle includes both of its edges, so (0, 0, 20, 20) covers 21 by 21
// pixels.

struct BPoint {
    float x = 0;
    float y = 0;

    constexpr BPoint() = default;
    constexpr BPoint(float x_, float y_) : x(x_), y(y_) {}
    constexpr bool operator==(const BPoint&) const = default;
};

struct BRect {
    float left = 0;
    float top = 0;
    float right = -1;
    float bottom = -1;

    // The default rectangle is invalid: right < left.
    constexpr BRect() = default;
    constexpr BRect(float l, float t, float r, float b) : left(l), top(t), right(r), bottom(b) {}

    constexpr float Width() const { return right - left; }
    constexpr float Height() const { return bottom - top; }
    constexpr bool IsValid() const { return left <= right && top <= bottom; }
    constexpr bool Contains(BPoint p) const
    {
        return p.x >= left && p.x <= right && p.y >= top && p.y <= bottom;
    }
    // The same size with its top-left corner moved to `to`.
    constexpr BRect OffsetToCopy(BPoint to) const
    {
        return { to.x, to.y, to.x + Width(), to.y + Height() };
    }
    constexpr bool operator==(const BRect&) const = default;
};
