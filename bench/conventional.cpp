// The same job as a strong conventional C++ program would do it, without the
// exactness constraints: fast_float parsing, FFTW's real-to-complex
// transform, the Parzen window by a plain convolution with mirrored ends,
// std::to_chars into a reused buffer. Usage: conventional INPUT OP BAND OUTPUT
#include <charconv>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <fast_float/fast_float.h>
#include <fftw3.h>
#include <string>
#include <vector>

namespace {

std::string slurp(const char *path) {
  std::FILE *f = std::fopen(path, "rb");
  if (f == nullptr)
    std::exit(2);
  std::fseek(f, 0, SEEK_END);
  std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  if (std::fread(s.data(), 1, s.size(), f) != s.size())
    std::exit(2);
  std::fclose(f);
  return s;
}

// Rows of t, x, y, z separated by commas or blanks, after a header line.
void parse(const std::string &text, std::vector<double> &t, std::vector<float> (&xyz)[3]) {
  const char *p = text.data() + text.find('\n') + 1, *end = text.data() + text.size();
  double v[4];
  while (p < end) {
    for (int k = 0; k < 4; ++k) {
      while (p < end && (*p == ' ' || *p == ',' || *p == '\t' || *p == '\n' || *p == '\r'))
        ++p;
      const auto r = fast_float::from_chars(p, end, v[k]);
      if (r.ec != std::errc())
        return;
      p = r.ptr;
    }
    t.push_back(v[0]);
    for (int c = 0; c < 3; ++c)
      xyz[c].push_back(static_cast<float>(v[c + 1]));
  }
}

// The Parzen window sampled at df, cut at its first zero, both sides.
std::vector<double> parzen(double band, double df) {
  const double udf = 1.854305 / band * df;
  const int lmax = static_cast<int>(2.0 / udf) + 1;
  std::vector<double> w(2 * static_cast<std::size_t>(lmax) - 1);
  for (int l = 0; l < lmax; ++l) {
    const double dif = l * M_PI / 2 * udf;
    const double s = l == 0 ? 1.0 : std::pow(std::sin(dif) / dif, 4);
    w[static_cast<std::size_t>(lmax - 1 + l)] = w[static_cast<std::size_t>(lmax - 1 - l)] =
        0.75 * udf * s;
  }
  return w;
}

std::vector<double> smooth(const std::vector<double> &amp, const std::vector<double> &w,
                           double dur) {
  const auto n = static_cast<long>(amp.size()), half = static_cast<long>(w.size() / 2);
  std::vector<double> power(amp.size()), out(amp.size());
  for (long i = 0; i < n; ++i)
    power[static_cast<std::size_t>(i)] = (i == 0 || i == n - 1 ? 1 : 2) *
                                         amp[static_cast<std::size_t>(i)] *
                                         amp[static_cast<std::size_t>(i)] / dur;
  for (long i = 0; i < n; ++i) {
    double s = 0;
    for (long k = -half; k <= half; ++k) {
      long j = i + k;
      j = j < 0 ? -j : j >= n ? 2 * (n - 1) - j : j;
      if (j >= 0 && j < n)
        s += w[static_cast<std::size_t>(k + half)] * power[static_cast<std::size_t>(j)];
    }
    out[static_cast<std::size_t>(i)] = std::sqrt(s * dur / (i == 0 || i == n - 1 ? 1 : 2));
  }
  return out;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 5)
    return 2;
  const int op = std::atoi(argv[2]);
  const double band = std::atof(argv[3]);
  std::vector<double> t;
  std::vector<float> xyz[3];
  parse(slurp(argv[1]), t, xyz);
  const std::size_t nt = t.size();
  std::size_t nf = 4;
  while (nf < nt)
    nf *= 2;
  const std::size_t nom = nf / 2 + 1;
  const double dt = t[1] - t[0], dur = static_cast<double>(nf) * dt, df = 1.0 / dur;
  float *in = fftwf_alloc_real(nf);
  fftwf_complex *out = fftwf_alloc_complex(nom);
  const fftwf_plan plan = fftwf_plan_dft_r2c_1d(static_cast<int>(nf), in, out, FFTW_ESTIMATE);
  const std::vector<double> w = band > 0 ? parzen(band, df) : std::vector<double>{1.0};
  std::vector<double> original[3], smoothed[3];
  for (int c = 0; c < 3; ++c) {
    std::fill(in, in + nf, 0.0f);
    std::copy(xyz[c].begin(), xyz[c].end(), in);
    fftwf_execute(plan);
    original[c].resize(nom);
    for (std::size_t i = 0; i < nom; ++i) {
      std::complex<double> v(out[i][0] * dt, out[i][1] * dt);
      const double omega = 2 * M_PI * df * static_cast<double>(i);
      if (op == 1 && i > 0)
        v /= std::complex<double>(0, omega);
      else if (op == 2 && i > 0)
        v /= -omega * omega;
      else if (op == 3)
        v *= std::complex<double>(0, omega);
      original[c][i] = std::abs(v);
    }
    smoothed[c] = smooth(original[c], w, dur);
  }
  std::string text = "freq(Hz),Original X,Smoothed X,Original Y,Smoothed Y,Original Z,Smoothed Z\n";
  text.reserve(text.size() + nom * 100);
  char field[32];
  for (std::size_t i = 0; i < nom; ++i) {
    auto r = std::to_chars(field, field + sizeof field, static_cast<double>(i) * df,
                           std::chars_format::fixed, 4);
    text.append(field, r.ptr);
    for (int c = 0; c < 3; ++c)
      for (const std::vector<double> *v : {&original[c], &smoothed[c]}) {
        text.push_back(',');
        r = std::to_chars(field, field + sizeof field, (*v)[i], std::chars_format::scientific, 6);
        text.append(field, r.ptr);
      }
    text.push_back('\n');
  }
  std::FILE *f = std::fopen(argv[4], "wb");
  if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
      std::fclose(f) != 0)
    return 2;
  fftwf_destroy_plan(plan);
  fftwf_free(in);
  fftwf_free(out);
  return 0;
}
