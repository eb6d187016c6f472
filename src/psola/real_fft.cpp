// Kept in one file: the mixed-radix real FFT's butterflies share one set of twiddle and
// factor conventions, and splitting the passes apart would only scatter that contract.

#include "psola/real_fft.h"

#include <algorithm>
#include <cmath>
#include <new>

// Notation of the stages. A stage has the factor ip, l1 independent sub-problems and spectra
// of length ido to merge; N = ip * ido. On the time side of a stage, spectrum j (0 .. ip-1)
// of sub-problem k sits at time + ido * (k + l1 * j); on the frequency side the merged
// spectrum of sub-problem k sits at freq + N * k. All spectra are half-complex: bin b >= 1
// below the middle has its real part at 2b-1 and its imaginary part at 2b, bin 0 is at 0 and
// for even lengths the middle bin is at the last place.
//
// Merging is the decimation-in-time identity S(q + ido*s) = sum_j W_N^(jq) Y_j(q) W_ip^(js):
// each column q of the ido-point spectra is twiddled by W_N^(jq) and then goes through an
// ip-point DFT. Bins above the middle are the conjugates of bins below it and are stored
// there. The twiddle of (j, q) is the pair (cos, sin)(2 pi jq / N) at tw[(j-1)*ido + 2q-2].

namespace timbrelo {
namespace {

template <typename Real>
struct Consts;
template <>
struct Consts<float> {
    static constexpr float twoPi = 6.2831855f;
    static constexpr float halfSqrt2 = 0.70710677f;
    static constexpr float sqrt2 = 1.4142135f;
    static constexpr float taur = -0.5f;
    static constexpr float taui = 0.8660254f;
};
template <>
struct Consts<double> {
    static constexpr double twoPi = 6.283185307179586;
    static constexpr double halfSqrt2 = 0.7071067811865476;
    static constexpr double sqrt2 = 1.4142135623730951;
    static constexpr double taur = -0.5;
    static constexpr double taui = 0.8660254037844386;
};

// ---- forward stages: time side `in`, frequency side `out` ----

template <typename Real>
void forwardRadix2(int ido, int l1, const Real* in, Real* out, const Real* tw) {
    const int n2 = 2 * ido;
    for (int k = 0; k < l1; ++k) {
        const Real* y0 = in + ido * k;
        const Real* y1 = in + ido * (k + l1);
        Real* s = out + n2 * k;
        s[0] = y0[0] + y1[0];
        s[n2 - 1] = y0[0] - y1[0];
        for (int q = 1; 2 * q < ido; ++q) {
            const Real c = tw[2 * q - 2], sn = tw[2 * q - 1];
            const Real zr = c * y1[2 * q - 1] + sn * y1[2 * q];
            const Real zi = c * y1[2 * q] - sn * y1[2 * q - 1];
            s[2 * q - 1] = y0[2 * q - 1] + zr;
            s[2 * q] = y0[2 * q] + zi;
            const int mirror = 2 * (ido - q);
            s[mirror - 1] = y0[2 * q - 1] - zr;
            s[mirror] = zi - y0[2 * q];
        }
        if (ido % 2 == 0) {
            // Column ido/2 is real; its twiddle W_4 = -i.
            s[ido - 1] = y0[ido - 1];
            s[ido] = -y1[ido - 1];
        }
    }
}

template <typename Real>
void forwardRadix4(int ido, int l1, const Real* in, Real* out, const Real* tw) {
    const int stride = ido * l1;
    const int n4 = 4 * ido;
    const Real* tw1 = tw;
    const Real* tw2 = tw + ido;
    const Real* tw3 = tw + 2 * ido;
    for (int k = 0; k < l1; ++k) {
        const Real* y0 = in + ido * k;
        const Real* y1 = y0 + stride;
        const Real* y2 = y1 + stride;
        const Real* y3 = y2 + stride;
        Real* s = out + n4 * k;
        {
            const Real t1 = y0[0] + y2[0], t2 = y0[0] - y2[0];
            const Real t3 = y1[0] + y3[0], t4 = y1[0] - y3[0];
            s[0] = t1 + t3;
            s[2 * ido - 1] = t2;
            s[2 * ido] = -t4;
            s[n4 - 1] = t1 - t3;
        }
        for (int q = 1; 2 * q < ido; ++q) {
            const int re = 2 * q - 1, im = 2 * q;
            const Real z0r = y0[re], z0i = y0[im];
            const Real z1r = tw1[re - 1] * y1[re] + tw1[im - 1] * y1[im];
            const Real z1i = tw1[re - 1] * y1[im] - tw1[im - 1] * y1[re];
            const Real z2r = tw2[re - 1] * y2[re] + tw2[im - 1] * y2[im];
            const Real z2i = tw2[re - 1] * y2[im] - tw2[im - 1] * y2[re];
            const Real z3r = tw3[re - 1] * y3[re] + tw3[im - 1] * y3[im];
            const Real z3i = tw3[re - 1] * y3[im] - tw3[im - 1] * y3[re];
            const Real t1r = z0r + z2r, t1i = z0i + z2i;
            const Real t2r = z0r - z2r, t2i = z0i - z2i;
            const Real t3r = z1r + z3r, t3i = z1i + z3i;
            const Real t4r = z1r - z3r, t4i = z1i - z3i;
            // S0 = t1 + t3 at bin q; S1 = t2 - i t4 at bin q + ido; S2 = t1 - t3 and
            // S3 = t2 + i t4 land above the middle and go conjugated to bins 2ido-q, ido-q.
            s[re] = t1r + t3r;
            s[im] = t1i + t3i;
            s[2 * (q + ido) - 1] = t2r + t4i;
            s[2 * (q + ido)] = t2i - t4r;
            s[2 * (2 * ido - q) - 1] = t1r - t3r;
            s[2 * (2 * ido - q)] = t3i - t1i;
            s[2 * (ido - q) - 1] = t2r - t4i;
            s[2 * (ido - q)] = -(t2i + t4r);
        }
        if (ido % 2 == 0) {
            // Column ido/2 is real; its twiddles are W_8^j.
            const Real a = y0[ido - 1], b = y1[ido - 1], c = y2[ido - 1], d = y3[ido - 1];
            const Real h = Consts<Real>::halfSqrt2;
            const Real diff = h * (b - d), sum = h * (b + d);
            s[ido - 1] = a + diff;
            s[ido] = -(sum + c);
            s[3 * ido - 1] = a - diff;
            s[3 * ido] = c - sum;
        }
    }
}

// Any odd factor; ido is odd here because the factorisation puts every 2 and 4 first.
template <typename Real>
void forwardGeneral(int ip, int ido, int l1, const Real* in, Real* out, const Real* tw,
                    const Real* rc, const Real* rs, Real* scratch) {
    const int h = (ip - 1) / 2;
    const int stride = ido * l1;
    const int n = ip * ido;
    Real* ar = scratch;
    Real* ai = scratch + h;
    Real* br = scratch + 2 * h;
    Real* bi = scratch + 3 * h;
    for (int k = 0; k < l1; ++k) {
        const Real* y = in + ido * k;
        Real* s = out + n * k;

        // Column 0: real inputs.
        const Real z0 = y[0];
        Real total = z0;
        for (int j = 1; j <= h; ++j) {
            const Real a = y[j * stride], b = y[(ip - j) * stride];
            ar[j - 1] = a + b;
            br[j - 1] = a - b;
            total += a + b;
        }
        s[0] = total;
        for (int m = 1; m <= h; ++m) {
            Real p = z0, qq = 0;
            for (int j = 1, idx = 0; j <= h; ++j) {
                idx += m;
                if (idx >= ip) {
                    idx -= ip;
                }
                p += ar[j - 1] * rc[idx];
                qq += br[j - 1] * rs[idx];
            }
            s[2 * ido * m - 1] = p;
            s[2 * ido * m] = -qq;
        }

        for (int q = 1; 2 * q < ido; ++q) {
            const int re = 2 * q - 1, im = 2 * q;
            const Real z0r = y[re], z0i = y[im];
            Real sumr = z0r, sumi = z0i;
            for (int j = 1; j <= h; ++j) {
                const Real* yj = y + j * stride;
                const Real* yk = y + (ip - j) * stride;
                const Real* wj = tw + (j - 1) * ido;
                const Real* wk = tw + (ip - j - 1) * ido;
                const Real zjr = wj[re - 1] * yj[re] + wj[im - 1] * yj[im];
                const Real zji = wj[re - 1] * yj[im] - wj[im - 1] * yj[re];
                const Real zkr = wk[re - 1] * yk[re] + wk[im - 1] * yk[im];
                const Real zki = wk[re - 1] * yk[im] - wk[im - 1] * yk[re];
                ar[j - 1] = zjr + zkr;
                ai[j - 1] = zji + zki;
                br[j - 1] = zjr - zkr;
                bi[j - 1] = zji - zki;
                sumr += zjr + zkr;
                sumi += zji + zki;
            }
            s[re] = sumr;
            s[im] = sumi;
            for (int m = 1; m <= h; ++m) {
                Real pr = z0r, pi = z0i, qr = 0, qi = 0;
                for (int j = 1, idx = 0; j <= h; ++j) {
                    idx += m;
                    if (idx >= ip) {
                        idx -= ip;
                    }
                    pr += ar[j - 1] * rc[idx];
                    pi += ai[j - 1] * rc[idx];
                    qr += br[j - 1] * rs[idx];
                    qi += bi[j - 1] * rs[idx];
                }
                // S_m = P - iQ at bin q + ido*m; S_(ip-m) = P + iQ goes conjugated to
                // bin (ido - q) + ido*(m-1).
                const int low = 2 * (q + ido * m);
                s[low - 1] = pr + qi;
                s[low] = pi - qr;
                const int high = 2 * (ido - q + ido * (m - 1));
                s[high - 1] = pr - qi;
                s[high] = -(pi + qr);
            }
        }
    }
}

// ---- backward stages: frequency side `in`, time side `out`; each is the inverse of the
// forward stage multiplied by ip ----

template <typename Real>
void backwardRadix2(int ido, int l1, const Real* in, Real* out, const Real* tw) {
    const int n2 = 2 * ido;
    for (int k = 0; k < l1; ++k) {
        const Real* s = in + n2 * k;
        Real* y0 = out + ido * k;
        Real* y1 = out + ido * (k + l1);
        y0[0] = s[0] + s[n2 - 1];
        y1[0] = s[0] - s[n2 - 1];
        for (int q = 1; 2 * q < ido; ++q) {
            const int mirror = 2 * (ido - q);
            const Real s0r = s[2 * q - 1], s0i = s[2 * q];
            const Real s1r = s[mirror - 1], s1i = -s[mirror];
            y0[2 * q - 1] = s0r + s1r;
            y0[2 * q] = s0i + s1i;
            const Real ur = s0r - s1r, ui = s0i - s1i;
            const Real c = tw[2 * q - 2], sn = tw[2 * q - 1];
            y1[2 * q - 1] = c * ur - sn * ui;
            y1[2 * q] = c * ui + sn * ur;
        }
        if (ido % 2 == 0) {
            y0[ido - 1] = 2 * s[ido - 1];
            y1[ido - 1] = -2 * s[ido];
        }
    }
}

template <typename Real>
void backwardRadix3(int ido, int l1, const Real* in, Real* out, const Real* tw) {
    const int stride = ido * l1;
    const int n3 = 3 * ido;
    const Real taur = Consts<Real>::taur, taui = Consts<Real>::taui;
    const Real* tw1 = tw;
    const Real* tw2 = tw + ido;
    for (int k = 0; k < l1; ++k) {
        const Real* s = in + n3 * k;
        Real* y0 = out + ido * k;
        Real* y1 = y0 + stride;
        Real* y2 = y1 + stride;
        {
            const Real s0 = s[0], r = s[2 * ido - 1], i = s[2 * ido];
            const Real p = s0 + 2 * taur * r;
            const Real qq = 2 * taui * i;
            y0[0] = s0 + 2 * r;
            y1[0] = p - qq;
            y2[0] = p + qq;
        }
        for (int q = 1; 2 * q < ido; ++q) {
            const int re = 2 * q - 1, im = 2 * q;
            const int low = 2 * (q + ido), high = 2 * (ido - q);
            const Real s0r = s[re], s0i = s[im];
            const Real s1r = s[low - 1], s1i = s[low];
            const Real s2r = s[high - 1], s2i = -s[high];
            const Real ar = s1r + s2r, ai = s1i + s2i;
            const Real br = s1r - s2r, bi = s1i - s2i;
            y0[re] = s0r + ar;
            y0[im] = s0i + ai;
            const Real pr = s0r + taur * ar, pi = s0i + taur * ai;
            const Real qr = taui * br, qi = taui * bi;
            const Real u1r = pr - qi, u1i = pi + qr;
            const Real u2r = pr + qi, u2i = pi - qr;
            y1[re] = tw1[re - 1] * u1r - tw1[im - 1] * u1i;
            y1[im] = tw1[re - 1] * u1i + tw1[im - 1] * u1r;
            y2[re] = tw2[re - 1] * u2r - tw2[im - 1] * u2i;
            y2[im] = tw2[re - 1] * u2i + tw2[im - 1] * u2r;
        }
    }
}

template <typename Real>
void backwardRadix4(int ido, int l1, const Real* in, Real* out, const Real* tw) {
    const int stride = ido * l1;
    const int n4 = 4 * ido;
    const Real* tw1 = tw;
    const Real* tw2 = tw + ido;
    const Real* tw3 = tw + 2 * ido;
    for (int k = 0; k < l1; ++k) {
        const Real* s = in + n4 * k;
        Real* y0 = out + ido * k;
        Real* y1 = y0 + stride;
        Real* y2 = y1 + stride;
        Real* y3 = y2 + stride;
        {
            const Real s0 = s[0], r = s[2 * ido - 1], i = s[2 * ido], s2 = s[n4 - 1];
            y0[0] = s0 + s2 + 2 * r;
            y2[0] = s0 + s2 - 2 * r;
            y1[0] = s0 - s2 - 2 * i;
            y3[0] = s0 - s2 + 2 * i;
        }
        for (int q = 1; 2 * q < ido; ++q) {
            const int re = 2 * q - 1, im = 2 * q;
            const int b1 = 2 * (q + ido), b2 = 2 * (2 * ido - q), b3 = 2 * (ido - q);
            const Real s0r = s[re], s0i = s[im];
            const Real s1r = s[b1 - 1], s1i = s[b1];
            const Real s2r = s[b2 - 1], s2i = -s[b2];
            const Real s3r = s[b3 - 1], s3i = -s[b3];
            const Real ar = s0r + s2r, ai = s0i + s2i;
            const Real br = s0r - s2r, bi = s0i - s2i;
            const Real cr = s1r + s3r, ci = s1i + s3i;
            const Real dr = s1r - s3r, di = s1i - s3i;
            y0[re] = ar + cr;
            y0[im] = ai + ci;
            const Real u1r = br - di, u1i = bi + dr; // b + i d
            const Real u2r = ar - cr, u2i = ai - ci; // a - c
            const Real u3r = br + di, u3i = bi - dr; // b - i d
            y1[re] = tw1[re - 1] * u1r - tw1[im - 1] * u1i;
            y1[im] = tw1[re - 1] * u1i + tw1[im - 1] * u1r;
            y2[re] = tw2[re - 1] * u2r - tw2[im - 1] * u2i;
            y2[im] = tw2[re - 1] * u2i + tw2[im - 1] * u2r;
            y3[re] = tw3[re - 1] * u3r - tw3[im - 1] * u3i;
            y3[im] = tw3[re - 1] * u3i + tw3[im - 1] * u3r;
        }
        if (ido % 2 == 0) {
            const Real r0 = s[ido - 1], i0 = s[ido];
            const Real r1 = s[3 * ido - 1], i1 = s[3 * ido];
            const Real sq = Consts<Real>::sqrt2;
            y0[ido - 1] = 2 * (r0 + r1);
            y1[ido - 1] = sq * ((r0 - r1) - (i0 + i1));
            y2[ido - 1] = 2 * (i1 - i0);
            y3[ido - 1] = -sq * ((r0 - r1) + (i0 + i1));
        }
    }
}

template <typename Real>
void backwardGeneral(int ip, int ido, int l1, const Real* in, Real* out, const Real* tw,
                     const Real* rc, const Real* rs, Real* scratch) {
    const int h = (ip - 1) / 2;
    const int stride = ido * l1;
    const int n = ip * ido;
    Real* ar = scratch;
    Real* ai = scratch + h;
    Real* br = scratch + 2 * h;
    Real* bi = scratch + 3 * h;
    for (int k = 0; k < l1; ++k) {
        const Real* s = in + n * k;
        Real* y = out + ido * k;

        // Column 0: S_m and S_(ip-m) are conjugates, so A = 2 Re S_m and B = 2i Im S_m.
        const Real s0 = s[0];
        Real total = s0;
        for (int m = 1; m <= h; ++m) {
            ar[m - 1] = 2 * s[2 * ido * m - 1];
            bi[m - 1] = 2 * s[2 * ido * m];
            total += ar[m - 1];
        }
        y[0] = total;
        for (int j = 1; j <= h; ++j) {
            Real p = s0, qq = 0;
            for (int m = 1, idx = 0; m <= h; ++m) {
                idx += j;
                if (idx >= ip) {
                    idx -= ip;
                }
                p += ar[m - 1] * rc[idx];
                qq += bi[m - 1] * rs[idx];
            }
            y[j * stride] = p - qq;
            y[(ip - j) * stride] = p + qq;
        }

        for (int q = 1; 2 * q < ido; ++q) {
            const int re = 2 * q - 1, im = 2 * q;
            const Real s0r = s[re], s0i = s[im];
            Real sumr = s0r, sumi = s0i;
            for (int m = 1; m <= h; ++m) {
                const int low = 2 * (q + ido * m);
                const int high = 2 * (ido - q + ido * (m - 1));
                const Real smr = s[low - 1], smi = s[low];
                const Real skr = s[high - 1], ski = -s[high];
                ar[m - 1] = smr + skr;
                ai[m - 1] = smi + ski;
                br[m - 1] = smr - skr;
                bi[m - 1] = smi - ski;
                sumr += smr + skr;
                sumi += smi + ski;
            }
            y[re] = sumr;
            y[im] = sumi;
            for (int j = 1; j <= h; ++j) {
                Real pr = s0r, pi = s0i, qr = 0, qi = 0;
                for (int m = 1, idx = 0; m <= h; ++m) {
                    idx += j;
                    if (idx >= ip) {
                        idx -= ip;
                    }
                    pr += ar[m - 1] * rc[idx];
                    pi += ai[m - 1] * rc[idx];
                    qr += br[m - 1] * rs[idx];
                    qi += bi[m - 1] * rs[idx];
                }
                // U_j = P + iQ, U_(ip-j) = P - iQ, then each is twiddled by W_N^(-jq).
                const Real ujr = pr - qi, uji = pi + qr;
                const Real ukr = pr + qi, uki = pi - qr;
                const Real* wj = tw + (j - 1) * ido;
                const Real* wk = tw + (ip - j - 1) * ido;
                Real* yj = y + j * stride;
                Real* yk = y + (ip - j) * stride;
                yj[re] = wj[re - 1] * ujr - wj[im - 1] * uji;
                yj[im] = wj[re - 1] * uji + wj[im - 1] * ujr;
                yk[re] = wk[re - 1] * ukr - wk[im - 1] * uki;
                yk[im] = wk[re - 1] * uki + wk[im - 1] * ukr;
            }
        }
    }
}

} // namespace

template <typename Real>
bool RealFft<Real>::init(int32_t n) {
    n_ = 0;
    splitCache_.fill(0);
    rootOffset_.fill(-1);
    if (n < 1) {
        return false;
    }
    try {
        trigCache_.assign(3 * static_cast<size_t>(n), Real(0));
        n_ = n;
        factorise();
        fillTwiddles();
        fillRoots();
    } catch (const std::bad_alloc&) {
        n_ = 0;
        trigCache_ = {};
        roots_ = {};
        scratch_ = {};
        return false;
    }
    return true;
}

template <typename Real>
void RealFft<Real>::factorise() {
    int32_t remainder = n_;
    int32_t nf = 0;
    int32_t trial = 4;
    int32_t tryIndex = 0;
    while (remainder != 1) {
        if (remainder % trial != 0) {
            // Trial factors in the order 4, 2, 3, 5, then odd numbers upward.
            ++tryIndex;
            trial = tryIndex == 1 ? 2 : tryIndex == 2 ? 3 : tryIndex == 3 ? 5 : trial + 2;
            continue;
        }
        remainder /= trial;
        ++nf;
        splitCache_[nf + 1] = trial;
        if (trial == 2 && nf != 1) {
            // The 2 goes first, so every stage after it has the same radix-4 layout.
            for (int32_t i = nf; i >= 2; --i) {
                splitCache_[i + 1] = splitCache_[i];
            }
            splitCache_[2] = 2;
        }
    }
    splitCache_[0] = n_;
    splitCache_[1] = nf;
}

template <typename Real>
void RealFft<Real>::fillTwiddles() {
    Real* tw = trigCache_.data() + n_;
    const Real argh = Consts<Real>::twoPi / static_cast<Real>(n_);
    const int32_t nf = splitCache_[1];
    int32_t is = 0;
    int32_t l1 = 1;
    for (int32_t f = 0; f + 1 < nf; ++f) {
        const int32_t ip = splitCache_[f + 2];
        const int32_t l2 = l1 * ip;
        const int32_t ido = n_ / l2;
        int32_t ld = 0;
        for (int32_t j = 1; j < ip; ++j) {
            ld += l1;
            const Real argld = static_cast<Real>(ld) * argh;
            Real fi = 0;
            for (int32_t i = is, q = 1; 2 * q < ido; ++q, i += 2) {
                fi += 1;
                tw[i] = static_cast<Real>(std::cos(fi * argld));
                tw[i + 1] = static_cast<Real>(std::sin(fi * argld));
            }
            is += ido;
        }
        l1 = l2;
    }
}

template <typename Real>
void RealFft<Real>::fillRoots() {
    const int32_t nf = splitCache_[1];
    size_t total = 0;
    int32_t largest = 0;
    for (int32_t f = 0; f < nf; ++f) {
        const int32_t ip = splitCache_[f + 2];
        if (ip % 2 == 1) {
            rootOffset_[f] = static_cast<int32_t>(total);
            total += 2 * static_cast<size_t>(ip);
            largest = std::max(largest, ip);
        }
    }
    roots_.assign(total, Real(0));
    scratch_.assign(2 * static_cast<size_t>(largest), Real(0));
    for (int32_t f = 0; f < nf; ++f) {
        const int32_t ip = splitCache_[f + 2];
        if (rootOffset_[f] < 0) {
            continue;
        }
        Real* rc = roots_.data() + rootOffset_[f];
        Real* rs = rc + ip;
        for (int32_t m = 0; m < ip; ++m) {
            const double angle = 6.283185307179586 * m / ip;
            rc[m] = static_cast<Real>(std::cos(angle));
            rs[m] = static_cast<Real>(std::sin(angle));
        }
    }
}

template <typename Real>
void RealFft<Real>::forward(Real* data) {
    if (n_ < 1) {
        return;
    }
    const int32_t nf = splitCache_[1];
    Real* work = trigCache_.data();
    const Real* twiddles = trigCache_.data() + n_;
    bool inData = true;
    int32_t l2 = n_;
    int32_t iw = n_ - 1; // the twiddles of all stages together take n - 1 places
    for (int32_t f = nf - 1; f >= 0; --f) {
        const int32_t ip = splitCache_[f + 2];
        const int32_t l1 = l2 / ip;
        const int32_t ido = n_ / l2;
        iw -= (ip - 1) * ido;
        const Real* tw = twiddles + iw;
        const Real* in = inData ? data : work;
        Real* out = inData ? work : data;
        if (ip == 4) {
            forwardRadix4(ido, l1, in, out, tw);
        } else if (ip == 2) {
            forwardRadix2(ido, l1, in, out, tw);
        } else {
            const Real* rc = roots_.data() + rootOffset_[f];
            forwardGeneral(ip, ido, l1, in, out, tw, rc, rc + ip, scratch_.data());
        }
        inData = !inData;
        l2 = l1;
    }
    if (!inData) {
        std::copy(work, work + n_, data);
    }
}

template <typename Real>
void RealFft<Real>::backward(Real* data) {
    if (n_ < 1) {
        return;
    }
    const int32_t nf = splitCache_[1];
    Real* work = trigCache_.data();
    const Real* twiddles = trigCache_.data() + n_;
    bool inData = true;
    int32_t l1 = 1;
    int32_t iw = 0;
    for (int32_t f = 0; f < nf; ++f) {
        const int32_t ip = splitCache_[f + 2];
        const int32_t l2 = l1 * ip;
        const int32_t ido = n_ / l2;
        const Real* tw = twiddles + iw;
        const Real* in = inData ? data : work;
        Real* out = inData ? work : data;
        if (ip == 4) {
            backwardRadix4(ido, l1, in, out, tw);
        } else if (ip == 2) {
            backwardRadix2(ido, l1, in, out, tw);
        } else if (ip == 3) {
            backwardRadix3(ido, l1, in, out, tw);
        } else {
            const Real* rc = roots_.data() + rootOffset_[f];
            backwardGeneral(ip, ido, l1, in, out, tw, rc, rc + ip, scratch_.data());
        }
        iw += (ip - 1) * ido;
        inData = !inData;
        l1 = l2;
    }
    if (!inData) {
        std::copy(work, work + n_, data);
    }
}

template class RealFft<float>;
template class RealFft<double>;

} // namespace timbrelo
