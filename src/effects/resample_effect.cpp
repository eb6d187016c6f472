#include "effects/resample_effect.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <numbers>

namespace timbrelo {
namespace {

// Modified Bessel function of the first kind, order 0, by its power series.
double besselI0(double x) {
    double sum = 1.0;
    double u = 1.0;
    double n = 1.0;
    const double half = x / 2.0;
    for (;;) {
        const double t = half / n;
        n += 1.0;
        u *= t * t;
        sum += u;
        if (u < 1e-21 * sum) {
            return sum;
        }
    }
}

uint32_t gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        const uint32_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

int16_t toSample(double v) {
    double s = v * 65536.0;
    s = std::clamp(s, -32768.0, 32767.0);
    return static_cast<int16_t>(s); // truncates toward zero
}

// Table coefficient at fixed-point position h (2^16 = one entry), linearly interpolated.
inline double tableAt(const double* imp, int64_t h) {
    const int64_t i = h >> 16;
    return imp[i] + (imp[i + 1] - imp[i]) * static_cast<double>(h & 65535) / 65536.0;
}

} // namespace

ResampleEffect::ResampleEffect() : Effect("resample", 2 * kOutFrames) {}

bool ResampleEffect::prepare() {
    ready_ = false;
    exact_ = false;
    impStore_.clear();
    imp_ = nullptr;
    x_.clear();
    y_ = nullptr;
    carry_.clear();
    carryStart_ = carryCount_ = 0;

    const uint32_t in = inFormat_.rate;
    const uint32_t out = outFormat_.rate;
    // The ratio's terms are signed below: rates past INT32_MAX would turn them negative.
    constexpr uint32_t kMaxRate = INT32_MAX;
    if (in == 0 || out == 0 || in > kMaxRate || out > kMaxRate || inFormat_.channels == 0) {
        return false;
    }
    if (in == out) {
        return true; // convert copies
    }
    factor_ = static_cast<double>(out) / in;
    const uint32_t g = gcd(in, out);
    a_ = static_cast<int32_t>(in / g);
    b_ = static_cast<int32_t>(out / g);

    exact_ = b_ >= a_ && b_ <= 511;
    nq_ = exact_ ? b_ : 128;
    nwing_ = nq_ * (kZeroCrossings / 2 + 1) + 1;
    if (!buildFilter()) {
        if (!exact_) {
            return false;
        }
        // Exact coefficients for this ratio would not fit the filter table; the interpolated
        // table converts the same ratio.
        exact_ = false;
        nq_ = 128;
        nwing_ = nq_ * (kZeroCrossings / 2 + 1) + 1;
        if (!buildFilter()) {
            return false;
        }
    }

    if (exact_) {
        xh_ = nwing_ / b_;
    } else {
        dhb_ = 1 << 23;
        if (factor_ < 1.0) {
            dhb_ = static_cast<int32_t>(factor_ * (1 << 23) + 0.5);
        }
        if (dhb_ == 0) {
            return false; // a step through the table finer than it resolves
        }
        xh_ = static_cast<int32_t>((int64_t{nwing_} << 16) / dhb_);
    }
    xoff_ = xh_ + 10;
    xp_ = xread_ = xoff_;
    time_ = xoff_;
    t_ = xoff_ * nq_;

    const int32_t room = kWorkSize - 2 * xoff_;
    if (factor_ + 1.0 / factor_ > room) {
        return false;
    }
    xsize_ = static_cast<int32_t>(2 * xoff_ + room / (1.0 + factor_));
    ysize_ = kWorkSize - xsize_;
    // One call must be able to take input beyond the history it keeps, or nothing would
    // ever come out.
    if (std::min<double>(ysize_, kOutFrames) / factor_ <= 2.0 * xoff_ + 1) {
        return false;
    }
    x_.assign(kWorkSize, 0.0);
    y_ = x_.data() + xsize_;
    carry_.assign(kCarrySamples, 0);
    ready_ = true;
    return true;
}

bool ResampleEffect::buildFilter() {
    if (nwing_ > 10240) {
        return false;
    }
    const double perCrossing = nq_ / kRolloff;
    const auto mwing = static_cast<int32_t>(std::floor(nwing_ / perCrossing) * perCrossing + 0.5);
    if (mwing <= 0) {
        return false;
    }
    std::vector<double> c(static_cast<size_t>(mwing));
    c[0] = kRolloff;
    for (int32_t i = 1; i < mwing; ++i) {
        const double x = std::numbers::pi * i / nq_;
        c[i] = std::sin(x * kRolloff) / x;
    }
    const double i0Beta = besselI0(kBeta);
    for (int32_t i = 1; i < mwing; ++i) {
        const double t = static_cast<double>(i) / mwing;
        c[i] *= besselI0(kBeta * std::sqrt(1.0 - t * t)) / i0Beta;
    }
    double g = 0.0;
    for (int32_t i = nq_; i < mwing; i += nq_) {
        g += c[i];
    }
    g = c[0] + 2.0 * g;

    // Index -1 in front; one zero behind nwing, which the interpolation may touch.
    impStore_.assign(static_cast<size_t>(nwing_) + 3, 0.0);
    double* imp = impStore_.data() + 1;
    for (int32_t i = 0; i < mwing && i <= nwing_; ++i) {
        imp[i] = c[i] / g;
    }
    imp[-1] = imp[1];
    imp_ = imp;
    return true;
}

int32_t ResampleEffect::convert(const int16_t* samples, uint32_t* inFrames, uint32_t* outFrames) {
    if (!ready_) {
        copyThrough(samples, inFrames, outFrames);
        return 0;
    }
    const uint32_t offered = samples != nullptr ? *inFrames : 0;
    const auto stride = static_cast<int32_t>(inFormat_.channels);
    uint32_t produced = 0;

    if (carryCount_ > 0) {
        const uint32_t used = feed(carry_.data() + carryStart_, 1, carryCount_, produced);
        carryStart_ += used;
        carryCount_ -= used;
        if (carryCount_ == 0) {
            carryStart_ = 0;
        }
    }
    uint32_t taken = 0;
    if (carryCount_ == 0 && offered > 0) {
        taken = feed(samples, stride, offered, produced);
    }
    if (taken < offered) {
        // Keep what the output had no room for, behind what is already waiting.
        if (carryStart_ > 0) {
            std::memmove(carry_.data(), carry_.data() + carryStart_, carryCount_ * sizeof(int16_t));
            carryStart_ = 0;
        }
        const uint32_t keep = std::min(offered - taken, kCarrySamples - carryCount_);
        for (uint32_t i = 0; i < keep; ++i) {
            carry_[carryCount_ + i] = samples[static_cast<size_t>(taken + i) * stride];
        }
        carryCount_ += keep;
        taken += keep;
    }
    *inFrames = taken;
    *outFrames = produced;
    setOutFrames(produced);
    return 0;
}

uint32_t ResampleEffect::feed(const int16_t* in, int32_t stride, uint32_t count,
                              uint32_t& produced) {
    uint32_t used = 0;
    while (used < count && produced < kOutFrames) {
        const Step step =
            flow(in + static_cast<size_t>(used) * stride, stride,
                 static_cast<int32_t>(count - used), static_cast<int32_t>(kOutFrames - produced));
        emit(y_, step.produced, produced);
        produced += static_cast<uint32_t>(step.produced);
        used += static_cast<uint32_t>(step.consumed);
        if (step.consumed == 0 && step.produced == 0) {
            break;
        }
    }
    return used;
}

void ResampleEffect::emit(const double* values, int32_t count, uint32_t at) {
    int16_t* out = outData() + 2 * static_cast<size_t>(at);
    for (int32_t i = 0; i < count; ++i) {
        const int16_t s = toSample(values[i]);
        out[2 * i] = s;
        out[2 * i + 1] = s;
    }
}

void ResampleEffect::copyThrough(const int16_t* samples, uint32_t* inFrames, uint32_t* outFrames) {
    const uint32_t channels = inFormat_.channels;
    uint32_t frames = samples != nullptr && channels != 0 ? std::min(*inFrames, kOutFrames) : 0;
    int16_t* out = outData();
    for (uint32_t i = 0; i < frames; ++i) {
        const int16_t* frame = samples + static_cast<size_t>(i) * channels;
        out[2 * i] = frame[0];
        out[2 * i + 1] = channels >= 2 ? frame[1] : frame[0];
    }
    *inFrames = frames;
    *outFrames = frames;
    setOutFrames(frames);
}

ResampleEffect::Step ResampleEffect::flow(const int16_t* in, int32_t stride, int32_t count,
                                          int32_t capacity) {
    int32_t nproc = xsize_ - xp_;
    const int32_t limit = std::min(ysize_, capacity);
    if (nproc * factor_ >= limit) {
        nproc = static_cast<int32_t>(limit / factor_);
    }
    int32_t nx = nproc - xread_;
    if (nx <= 0) {
        return {}; // no room for input this time
    }
    nx = std::min(nx, count);
    double* x = x_.data();
    for (int32_t i = 0; i < nx; ++i) {
        x[xread_ + i] = in != nullptr ? in[static_cast<size_t>(i) * stride] / 65536.0 : 0.0;
    }
    const int32_t last = xread_ + nx;

    nproc = last - xoff_ - xp_;
    if (nproc <= 0) {
        xread_ = last;
        return {nx, 0};
    }
    const int32_t produced = exact_ ? exactPass(nproc) : tablePass(nproc);

    // Keep the history in front of the current sample for the next pass.
    const int32_t k = xp_ - xoff_;
    std::memmove(x, x + k, static_cast<size_t>(last - k) * sizeof(double));
    xread_ = last - k;
    xp_ = xoff_;
    return {nx, produced};
}

int32_t ResampleEffect::exactPass(int32_t nproc) {
    const double* x = x_.data();
    const auto n = static_cast<int32_t>((int64_t{nproc} * b_ + a_ - 1) / a_);
    for (int32_t i = 0; i < n; ++i) {
        const int32_t phase = t_ % b_;
        const double* current = x + t_ / b_;
        double left = 0.0;
        double right = 0.0;
        // Smallest coefficients first.
        for (int32_t j = xh_ - 1; j >= 0; --j) {
            left += current[-j] * imp_[phase + j * b_];
        }
        for (int32_t j = xh_ - 1; j >= 0; --j) {
            right += current[1 + j] * imp_[(b_ - phase) + j * b_];
        }
        double v = left + right;
        if (factor_ < 1.0) {
            v *= factor_;
        }
        y_[i] = v;
        t_ += a_;
    }
    t_ -= nproc * b_;
    xp_ += nproc;
    const int32_t creep = t_ / b_ - xoff_;
    if (creep != 0) {
        t_ -= creep * b_;
        xp_ += creep;
    }
    return n;
}

int32_t ResampleEffect::tablePass(int32_t nproc) {
    const double* x = x_.data();
    const double dt = 1.0 / factor_;
    const auto n = static_cast<int32_t>(std::ceil(nproc / dt));
    for (int32_t i = 0; i < n; ++i) {
        const auto c = static_cast<int32_t>(time_);
        const double phase = time_ - std::floor(time_);
        const double* current = x + c;
        const auto leftStart = static_cast<int64_t>(phase * dhb_);
        const auto rightStart = static_cast<int64_t>((1.0 - phase) * dhb_);
        double left = 0.0;
        double right = 0.0;
        for (int32_t j = xh_ - 1; j >= 0; --j) {
            left += current[-j] * tableAt(imp_, leftStart + int64_t{j} * dhb_);
        }
        for (int32_t j = xh_ - 1; j >= 0; --j) {
            right += current[1 + j] * tableAt(imp_, rightStart + int64_t{j} * dhb_);
        }
        double v = left + right;
        if (factor_ < 1.0) {
            v *= factor_;
        }
        y_[i] = v;
        time_ += dt;
    }
    time_ -= nproc;
    xp_ += nproc;
    const auto creep = static_cast<int32_t>(time_ - xoff_);
    if (creep != 0) {
        time_ -= creep;
        xp_ += creep;
    }
    return n;
}

} // namespace timbrelo
