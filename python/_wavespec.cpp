// The extension under the wavespec Python package: numpy arrays in and out
// of the C++ core, the interpreter lock released while the core works. The
// classes and their documentation are in wavespec/__init__.py.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "records/output_file.h"
#include "wavespec/wavespec.hpp"

namespace py = pybind11;

namespace {

using float_array = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A thread that analyses many records allocates its buffers once.
wavespec::workspace &thread_workspace() {
  thread_local wavespec::workspace ws;
  return ws;
}

// A numpy array over a vector's storage, which it then owns: no copy.
py::array_t<float> owning(std::vector<float> &&values) {
  auto *owner = new std::vector<float>(std::move(values));
  const py::capsule release(owner, [](void *p) { delete static_cast<std::vector<float> *>(p); });
  return py::array_t<float>(static_cast<py::ssize_t>(owner->size()), owner->data(), release);
}

py::dict grid_dict(const wavespec::frequency_grid &g) {
  py::dict d;
  d["nf"] = g.nf;
  d["dur"] = g.dur;
  d["df"] = g.df;
  d["dom"] = g.dom;
  d["nom"] = g.nom;
  d["eom"] = g.eom;
  d["fmax"] = g.highest;
  d["band_min"] = g.band_min;
  d["band_max"] = g.band_max;
  return d;
}

wavespec::frequency_grid grid_of(const py::dict &d) {
  wavespec::frequency_grid g;
  g.nf = d["nf"].cast<std::int32_t>();
  g.dur = d["dur"].cast<float>();
  g.df = d["df"].cast<float>();
  g.dom = d["dom"].cast<float>();
  g.nom = d["nom"].cast<std::int32_t>();
  g.eom = d["eom"].cast<float>();
  g.highest = d["fmax"].cast<float>();
  g.band_min = d["band_min"].cast<float>();
  g.band_max = d["band_max"].cast<float>();
  return g;
}

std::span<const float> span_of(const float_array &a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

// (header, x, y, z, dt) of a waveform file, the arrays owning the samples.
py::tuple read_waveform(const std::string &path) {
  wavespec::waveform w;
  {
    const py::gil_scoped_release unlocked;
    w = wavespec::read_waveform(path);
  }
  return py::make_tuple(w.header, owning(std::move(w.x)), owning(std::move(w.y)),
                        owning(std::move(w.z)), w.dt);
}

// Raises ValueError when the arrays cannot be a record.
void check(const float_array &x, const float_array &y, const float_array &z, float dt) {
  for (const float_array *a : {&x, &y, &z})
    if (a->ndim() != 1)
      throw py::value_error("x, y and z must be one-dimensional");
  try {
    wavespec::check_waveform({span_of(x), span_of(y), span_of(z), dt});
  } catch (const wavespec::record_error &e) {
    throw py::value_error(e.what());
  }
}

// (grid, freq, original, smoothed, eas): the (3, nom) arrays are the core's
// result buffers themselves; eas is sqrt((X^2 + Y^2) / 2) of the originals.
py::tuple analyse(const float_array &x, const float_array &y, const float_array &z, float dt,
                  int op, float band) {
  if (op < 0 || op > 3)
    throw py::value_error("operation must be 0 to 3");
  check(x, y, z, dt);
  const wavespec::waveform_view w{span_of(x), span_of(y), span_of(z), dt};
  const wavespec::frequency_grid g = wavespec::grid_of(w);
  const auto nom = static_cast<py::ssize_t>(g.nom);
  py::array_t<float> original({py::ssize_t{3}, nom}), smoothed({py::ssize_t{3}, nom});
  py::array_t<float> freq(nom), eas(nom);
  float *const o = original.mutable_data(), *const s = smoothed.mutable_data();
  float *const f = freq.mutable_data(), *const e = eas.mutable_data();
  {
    const py::gil_scoped_release unlocked;
    const auto size = static_cast<std::size_t>(3 * nom);
    const wavespec::spectrum_view v = wavespec::analyse_into(
        w, {static_cast<wavespec::operation>(op), band}, thread_workspace(), {o, size}, {s, size});
    for (std::int32_t i = 0; i < g.nom; ++i) {
      f[i] = v.frequency(i);
      e[i] = wavespec::effective_amplitude(o[i], o[g.nom + i]);
    }
  }
  return py::make_tuple(grid_dict(g), freq, original, smoothed, eas);
}

void write_csv(const py::dict &grid, int op, float band, const float_array &original,
               const float_array &smoothed, const std::string &path) {
  const wavespec::frequency_grid g = grid_of(grid);
  const auto values = 3 * static_cast<std::size_t>(g.nom);
  if (static_cast<std::size_t>(original.size()) != values ||
      static_cast<std::size_t>(smoothed.size()) != values)
    throw py::value_error("original and smoothed must hold 3 x nom values");
  const wavespec::spectrum_view v{
      g, {static_cast<wavespec::operation>(op), band}, span_of(original), span_of(smoothed)};
  const py::gil_scoped_release unlocked;
  wavespec::write_csv(v, path);
}

// One record of a batch: (ok, message, summary row); relative names are
// taken from `directory`.
py::tuple process_record(const std::string &input, const std::string &output, int op, float band,
                         double konno_ohmachi, const std::vector<double> &centres, bool eas,
                         bool metadata, const std::string &directory) {
  wavespec::record_outcome o;
  {
    const py::gil_scoped_release unlocked;
    o = wavespec::process_record(
        input, output, {static_cast<wavespec::operation>(op), band, konno_ohmachi, centres, eas},
        thread_workspace(), directory, 1, metadata);
  }
  return py::make_tuple(o.ok, o.message, wavespec::summary_row(o));
}

// The points of a frequency array that take part (f > 0): exactly k df when
// it is the grid a spectrum gives (freq[k] the float of k df), so that the
// results are the command line's; its values otherwise.
std::vector<double>
points_of(const py::array_t<double, py::array::c_style | py::array::forcecast> &freq,
          bool is_float_grid, std::size_t &first) {
  const double *v = freq.data();
  const auto n = static_cast<std::size_t>(freq.size());
  first = 0;
  while (first < n && !(v[first] > 0))
    ++first;
  std::vector<double> f(v + first, v + n);
  if (is_float_grid && n > 1 && v[0] == 0.0) {
    const double df = v[1];
    bool grid = true;
    for (std::size_t k = 0; k < n && grid; ++k)
      grid = v[k] == static_cast<double>(static_cast<float>(static_cast<double>(k) * df));
    if (grid)
      for (std::size_t k = first; k < n; ++k)
        f[k - first] = static_cast<double>(k) * df;
  }
  return f;
}

// (fc, smoothed): Konno-Ohmachi smoothing of each row of `amplitudes` (as
// long as freq) at the centres (100 per decade from df to the last frequency
// when none are given).
py::tuple konno_ohmachi(
    const py::array &freq, const float_array &amplitudes, double b,
    const std::optional<py::array_t<double, py::array::c_style | py::array::forcecast>> &centres,
    unsigned threads) {
  const bool is_float_grid = py::isinstance<py::array_t<float>>(freq);
  const py::array_t<double, py::array::c_style | py::array::forcecast> fd(freq);
  if (fd.ndim() != 1 || amplitudes.ndim() < 1 || amplitudes.ndim() > 2 ||
      amplitudes.shape(amplitudes.ndim() - 1) != fd.size())
    throw py::value_error("amplitudes must be of shape (n,) or (m, n) for n frequencies");
  std::size_t first = 0;
  const std::vector<double> f = points_of(fd, is_float_grid, first);
  if (f.size() < 2)
    throw py::value_error("at least two positive frequencies are needed");
  const std::vector<double> fc =
      centres ? std::vector<double>(centres->data(), centres->data() + centres->size())
              : wavespec::per_decade_frequencies(f.front(), f.back());
  const std::size_t rows =
      amplitudes.ndim() == 1 ? 1 : static_cast<std::size_t>(amplitudes.shape(0));
  const std::size_t n = static_cast<std::size_t>(fd.size());
  std::vector<std::span<const float>> series;
  for (std::size_t r = 0; r < rows; ++r)
    series.emplace_back(amplitudes.data() + r * n + first, f.size());
  py::array_t<float> smoothed(amplitudes.ndim() == 1
                                  ? std::vector<py::ssize_t>{static_cast<py::ssize_t>(fc.size())}
                                  : std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows),
                                                             static_cast<py::ssize_t>(fc.size())});
  float *const out = smoothed.mutable_data();
  {
    const py::gil_scoped_release unlocked;
    wavespec::konno_ohmachi(f, series, b, fc, {out, rows * fc.size()}, threads);
  }
  py::array_t<double> centre_array(static_cast<py::ssize_t>(fc.size()));
  std::copy(fc.begin(), fc.end(), centre_array.mutable_data());
  return py::make_tuple(centre_array, smoothed);
}

// The JSON sidecar of a spectrum analysed here.
std::string metadata(const std::string &input, const std::string &header, std::int64_t nt, float dt,
                     const py::dict &grid, int op, float band) {
  wavespec::spectrum_view v{};
  v.grid = grid_of(grid);
  v.options.op = static_cast<wavespec::operation>(op);
  v.options.band = band;
  return wavespec::spectrum_metadata({input, header, nt, dt}, v);
}

void write_whole_file(const std::string &path, const std::string &text) {
  const py::gil_scoped_release unlocked;
  wavespec::records::output_file file(path);
  file.write(text);
  file.commit();
}

} // namespace

PYBIND11_MODULE(_wavespec, m) {
  m.doc() = "The C++ core under the wavespec package; use the package itself.";
  m.attr("__version__") = wavespec::version;
  m.attr("max_samples") = wavespec::max_samples;
  // The exception type lives as long as the interpreter: never released, so
  // that nothing is released after the interpreter has gone.
  static const auto *record_error =
      new py::object(py::exception<wavespec::record_error>(m, "RecordError", PyExc_ValueError));
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p)
        std::rethrow_exception(p);
    } catch (const wavespec::record_error &e) {
      py::object error = (*record_error)(e.what());
      error.attr("report") = e.report();
      error.attr("line") = e.line();
      PyErr_SetObject(record_error->ptr(), error.ptr());
    }
  });
  m.def("read_waveform", &read_waveform, py::arg("path"));
  m.def("check", &check);
  m.def("analyse", &analyse);
  m.def("write_csv", &write_csv);
  m.def("process_record", &process_record);
  m.def("summary_header", &wavespec::summary_header);
  m.def("output_path", &wavespec::output_path);
  m.def("write_whole_file", &write_whole_file);
  m.def("konno_ohmachi", &konno_ohmachi);
  m.def("log_spaced_frequencies", &wavespec::log_spaced_frequencies);
  m.def("metadata", &metadata);
  m.def("metadata_path", &wavespec::metadata_path);
}
