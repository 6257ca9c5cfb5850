// 32-bit arithmetic of the sample records: wrap-around sums and products
// (never signed overflow), and the two divisions. Internal to the library.
#pragma once

#include <cstdint>
#include <limits>

namespace brova {
namespace arith {

inline int32_t add(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline int32_t sub(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

inline int32_t mul(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Quotient in single precision, truncated toward zero. Magnitudes above 2^24
// are rounded to float first, as single precision does. Division by zero
// leaves the dividend as it was; a quotient beyond the int32 range (such as
// -2^31 / -1) is clamped to it instead of being converted out of range.
inline int32_t divSingle(int32_t a, int32_t d)
{
    if (d == 0)
        return a;
    const float q = static_cast<float>(a) / static_cast<float>(d);
    if (q >= 2147483648.0f)
        return std::numeric_limits<int32_t>::max();
    if (q < -2147483648.0f)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(q);
}

// Integer quotient truncated toward zero, with the same zero and range rules.
inline int32_t divInt(int32_t a, int32_t d)
{
    if (d == 0)
        return a;
    if (d == -1 && a == std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::max();
    return a / d;
}

} // namespace arith
} // namespace brova
