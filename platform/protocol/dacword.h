// VEK72 sample words: the 32-bit words VEK72_PrepareDacData produces and the module decodes.
//
//   bits 31..24  VEK72_WORD_TAG (0xA5)
//   bits 23..20  0
//   bit  19      saturated: the sample lay outside the channel's scale and was clipped
//   bits 18..16  physical channel index (0..7)
//   bits 15..0   code: 0 at the scale minimum, 65535 at its maximum, linear between
//
// The scale depends on the module's modification and on the channel's output selector.
#ifndef VEK_PROTOCOL_DACWORD_H
#define VEK_PROTOCOL_DACWORD_H

#include <cstdint>

namespace vekproto {

constexpr uint32_t kWordTag = 0xA5u;
constexpr uint32_t kWordSaturatedBit = 1u << 19;
constexpr double kCodeMax = 65535.0;

struct Scale {
    double min;
    double max;
};

// Scale of a channel: modification 1 is bipolar (-10..+10 V, one-tenth -1..+1 V); modifications
// 2 and 3 (and any other) are -2..+20 V, one-tenth -0.2..+2 V.
inline Scale channelScale(int modification, int outputSelector)
{
    Scale s = modification == 1 ? Scale{-10.0, 10.0} : Scale{-2.0, 20.0};
    if (outputSelector == 1) { s.min /= 10.0; s.max /= 10.0; }
    return s;
}

inline bool wordTagValid(uint32_t word) { return (word >> 24) == kWordTag; }
inline unsigned wordChannel(uint32_t word) { return (word >> 16) & 7u; }
inline unsigned wordCode(uint32_t word) { return word & 0xFFFFu; }
inline bool wordSaturated(uint32_t word) { return (word & kWordSaturatedBit) != 0; }

inline double codeToVolts(unsigned code, const Scale& s)
{
    return s.min + (s.max - s.min) * (double(code) / kCodeMax);
}

} // namespace vekproto

#endif
