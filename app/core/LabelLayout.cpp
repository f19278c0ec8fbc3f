#include "LabelLayout.h"

#include <algorithm>

namespace zem {

std::string ElideRight(const std::string& text, int maxWidth, const TextWidth& width) {
    if (width(text) <= maxWidth) return text;
    static const std::string kDots = "...";
    // The longest beginning that fits with the dots; widths grow with the length.
    size_t lo = 0, hi = text.size();
    while (lo < hi) {
        size_t mid = (lo + hi + 1) / 2;
        if (width(text.substr(0, mid) + kDots) <= maxWidth)
            lo = mid;
        else
            hi = mid - 1;
    }
    // Never inside a UTF-8 sequence.
    while (lo > 0 && (static_cast<unsigned char>(text[lo]) & 0xC0) == 0x80)
        --lo;
    if (lo == 0 && width(kDots) > maxWidth) return {};
    return text.substr(0, lo) + kDots;
}

ValueLabel LayOutValueLabel(const std::string& text, int captionRight, int valueRight,
                            const TextWidth& width) {
    ValueLabel v;
    const int room = std::max(0, valueRight - (captionRight + kCaptionGap));
    v.shown = ElideRight(text, room, width);
    v.cut = v.shown != text;
    v.width = std::min(room, width(v.shown));
    v.left = valueRight - v.width;
    return v;
}

} // namespace zem
