#include "platform/imaging/AreaAverage.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::imaging {

AreaAverager::Coverage::Coverage(int source, int destination) {
    const double step = static_cast<double>(source) / destination;
    spans.reserve(static_cast<std::size_t>(destination));
    auto part = [](double lo, double hi, int s) {
        return std::max(0.0, std::min<double>(hi, s + 1) - std::max<double>(lo, s));
    };
    for (int d = 0; d < destination; ++d) {
        const double lo = d * step;
        const double hi = std::min<double>((d + 1) * step, source);
        const int first = std::min(source - 1, static_cast<int>(lo));
        const int last = std::max(first, std::min(source - 1, static_cast<int>(std::ceil(hi)) - 1));
        Span span{first, last - first + 1, weights.size()};
        double total = 0;
        for (int s = first; s <= last; ++s)
            total += part(lo, hi, s);
        for (int s = first; s <= last; ++s)
            weights.push_back(static_cast<float>(total > 0 ? part(lo, hi, s) / total : 1.0 / span.count));
        spans.push_back(span);
    }
}

AreaAverager::AreaAverager(int sourceWidth, int sourceHeight, Bitmap& out, bool weightByAlpha)
    : out_(out),
      weightByAlpha_(weightByAlpha),
      columns_(sourceWidth, out.width()),
      rows_(sourceHeight, out.height()),
      filtered_(static_cast<std::size_t>(out.width()) * 4) {}

namespace {

// Four channels at once, as the compilers' vector extension: the same operations per channel as scalar
// code, in the same order (so the same results), a few times faster on pictures of a hundred megapixels.
typedef float Float4 __attribute__((vector_size(16)));
typedef std::uint8_t Byte4 __attribute__((vector_size(4)));

Float4 load(const std::uint8_t* pixel) {
    Byte4 bytes;
    std::memcpy(&bytes, pixel, sizeof bytes);
    return __builtin_convertvector(bytes, Float4);
}

}  // namespace

void AreaAverager::filter(const std::uint8_t* source) {
    float* filtered = filtered_.data();
    for (std::size_t d = 0; d < columns_.spans.size(); ++d) {
        const auto& span = columns_.spans[d];
        const float* weights = columns_.weights.data() + span.weights;
        const std::uint8_t* p = source + static_cast<std::size_t>(span.first) * 4;
        Float4 sum = {0, 0, 0, 0};
        if (weightByAlpha_) {
            for (int i = 0; i < span.count; ++i, p += 4) {
                const float w = weights[i];
                const float a = w * p[3] * (1.0f / 255);
                const Float4 scale = {a, a, a, w};
                sum += scale * load(p);
            }
        } else {
            for (int i = 0; i < span.count; ++i, p += 4)
                sum += weights[i] * load(p);
        }
        std::memcpy(filtered + d * 4, &sum, sizeof sum);
    }
}

void AreaAverager::emit(int y, const std::vector<float>& sums) {
    std::uint8_t* target = out_.mutablePixels() + out_.stride() * static_cast<std::size_t>(y);
    // Rounds half away from zero like lround, without a library call per channel.
    auto byte = [](float v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f); };
    for (std::size_t k = 0; k < sums.size(); k += 4) {
        const float alpha = sums[k + 3];
        const float unweight = weightByAlpha_ ? (alpha > 0 ? 255.0f / alpha : 0.0f) : 1.0f;
        target[k] = byte(sums[k] * unweight);
        target[k + 1] = byte(sums[k + 1] * unweight);
        target[k + 2] = byte(sums[k + 2] * unweight);
        target[k + 3] = byte(alpha);
    }
}

void AreaAverager::push(const std::uint8_t* row) {
    const int y = nextSourceRow_++;
    const int rowCount = static_cast<int>(rows_.spans.size());
    if (firstOpenRow_ >= rowCount)
        return;
    filter(row);
    // Every destination row from the first open one whose span includes this source row takes its share.
    for (int d = firstOpenRow_; d < rowCount; ++d) {
        const auto& span = rows_.spans[static_cast<std::size_t>(d)];
        if (span.first > y)
            break;
        const std::size_t slot = static_cast<std::size_t>(d - firstOpenRow_);
        while (open_.size() <= slot)
            open_.emplace_back(filtered_.size(), 0.0f);
        if (y < span.first + span.count) {
            const float w = rows_.weights[span.weights + static_cast<std::size_t>(y - span.first)];
            float* __restrict sums = open_[slot].data();
            const float* __restrict filtered = filtered_.data();
            const std::size_t count = filtered_.size();
            for (std::size_t k = 0; k < count; k += 4) {
                Float4 sum;
                Float4 part;
                std::memcpy(&sum, sums + k, sizeof sum);
                std::memcpy(&part, filtered + k, sizeof part);
                sum += w * part;
                std::memcpy(sums + k, &sum, sizeof sum);
            }
        }
    }
    // Rows whose last source row this was are complete.
    while (!open_.empty() && firstOpenRow_ < rowCount) {
        const auto& span = rows_.spans[static_cast<std::size_t>(firstOpenRow_)];
        if (span.first + span.count - 1 > y)
            break;
        emit(firstOpenRow_, open_.front());
        open_.pop_front();
        ++firstOpenRow_;
    }
}

}  // namespace platform::imaging
