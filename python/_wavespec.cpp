// The extension under the wavespec Python package: the core's classes and
// functions, converted at the edge (file names with the file-system
// encoding, option values as the command line's text, arrays as numpy views
// of the core's own storage), the interpreter lock released while the core
// works. Waveform and the package's documentation are in
// wavespec/__init__.py; the Dask batch in wavespec/batch.py.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "wavespec/wavespec.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using float_array = py::array_t<float, py::array::c_style | py::array::forcecast>;
using double_array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A thread that analyses many records allocates its buffers once.
wavespec::workspace &thread_workspace() {
  thread_local wavespec::workspace ws;
  return ws;
}

// --- Work that a signal may end -------------------------------------------------

// Runs `work` (which touches no Python object) with the interpreter's lock
// released. On the interpreter's main thread, where its signal handlers run,
// the work runs on a thread of its own while this one looks every 50 ms for
// a signal the interpreter has noted: the handler runs here (Ctrl-C raises
// KeyboardInterrupt), the core's signal note is set so that the work ends
// at its next look (a tenth of a second at most, nothing half-written), and
// cleared again, and the handler's exception is raised.
void interruptible_call(const std::function<void()> &work) {
  const py::object threading = py::module_::import("threading");
  if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) {
    const py::gil_scoped_release unlocked;
    work();
    return;
  }
  std::exception_ptr error;
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false, signalled = false;
  std::thread worker([&] {
    try {
      work();
    } catch (...) {
      error = std::current_exception();
    }
    const std::lock_guard lock(mutex);
    done = true;
    changed.notify_one();
  });
  {
    const py::gil_scoped_release unlocked;
    std::unique_lock lock(mutex);
    while (!changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
      if (signalled)
        continue;
      lock.unlock();
      {
        const py::gil_scoped_acquire locked;
        signalled = PyErr_CheckSignals() != 0; // its exception stays set
      }
      if (signalled)
        wavespec::note_interrupt(SIGINT);
      lock.lock();
    }
  }
  worker.join();
  if (signalled) {
    wavespec::clear_interrupt();
    throw py::error_already_set();
  }
  if (error)
    std::rethrow_exception(error);
}

template <typename F> auto interruptible(F &&work) {
  using result = std::invoke_result_t<F &>;
  if constexpr (std::is_void_v<result>) {
    interruptible_call(work);
  } else {
    std::optional<result> r;
    interruptible_call([&] { r.emplace(work()); });
    return std::move(*r);
  }
}

// --- Names and values at the edge --------------------------------------------

// A file name as the system takes it: str (file-system encoding, any
// undecodable bytes kept), bytes or a path-like object.
std::string fs_name(py::handle name) {
  const py::bytes encoded = py::module_::import("os").attr("fsencode")(name);
  return encoded;
}

// A name the core gives back, decoded as Python decodes file names.
py::object fs_str(const std::string &name) {
  PyObject *s = PyUnicode_DecodeFSDefaultAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  if (s == nullptr)
    throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::list names_of(const std::vector<std::string> &names) {
  py::list out;
  for (const std::string &n : names)
    out.append(fs_str(n));
  return out;
}

std::vector<std::string> fs_names(const py::iterable &names) {
  std::vector<std::string> out;
  for (const py::handle name : names)
    out.push_back(fs_name(name));
  return out;
}

// An option's value as the text the command line would carry: text as it
// is, a number in Python's own digits (which read back as the same value).
std::string option_text(py::handle value, const char *name) {
  if (py::isinstance<py::str>(value))
    return value.cast<std::string>();
  const py::object number = py::module_::import("numbers").attr("Number");
  if (!py::isinstance<py::bool_>(value) && py::isinstance(value, number))
    return py::str(value);
  throw py::type_error(std::string(name) + " must be a number or text, not " +
                       std::string(py::str(py::type::of(value).attr("__name__"))));
}

// Centres given one by one: an empty list is not the default centres (None
// is), which would take the place of what was asked.
void check_centres_given(const std::vector<double> &centres) {
  if (centres.empty())
    throw py::value_error("frequencies: no centres given (None for the default centres)");
}

// The analysis the keyword options ask for, checked by the core's rules.
wavespec::analysis_options analysis_options_of(py::handle operation, py::handle band,
                                               py::handle konno_ohmachi, py::handle frequencies,
                                               bool eas, bool band_clamp = false, bool hv = false,
                                               py::handle horizontal = py::none()) {
  wavespec::analysis_options a;
  if (!operation.is_none())
    a.op = wavespec::parse_operation(option_text(operation, "operation"));
  if (!band.is_none())
    a.band = wavespec::parse_band(option_text(band, "band"));
  if (!konno_ohmachi.is_none())
    a.konno_ohmachi = wavespec::parse_konno_ohmachi(option_text(konno_ohmachi, "konno_ohmachi"));
  if (py::isinstance<py::str>(frequencies)) {
    a.spread = wavespec::parse_frequencies(frequencies.cast<std::string>());
  } else if (!frequencies.is_none()) {
    const auto centres = double_array::ensure(frequencies);
    if (!centres || centres.ndim() != 1)
      throw py::value_error("frequencies must be \"FMIN:FMAX:N\" or one-dimensional centres in Hz");
    a.centres.assign(centres.data(), centres.data() + centres.size());
  }
  a.eas = eas;
  a.band_clamp = band_clamp;
  a.hv = hv;
  if (!horizontal.is_none())
    a.horizontal = wavespec::parse_horizontal(option_text(horizontal, "horizontal"));
  wavespec::check_analysis_options(a);
  if (!py::isinstance<py::str>(frequencies) && !frequencies.is_none())
    check_centres_given(a.centres);
  return a;
}

// A read-only numpy view of storage that `owner` keeps alive.
template <typename T>
py::array view(const T *data, std::vector<py::ssize_t> shape, py::handle owner) {
  py::array a(py::dtype::of<T>(), std::move(shape), {}, data, owner);
  a.attr("setflags")("write"_a = false);
  return a;
}

std::span<const float> span_of(const float_array &a) {
  return {a.data(), static_cast<std::size_t>(a.size())};
}

wavespec::waveform_view waveform_of(const float_array &x, const float_array &y,
                                    const float_array &z, float dt) {
  for (const float_array *a : {&x, &y, &z})
    if (a->ndim() != 1)
      throw py::value_error("x, y and z must be one-dimensional");
  const wavespec::waveform_view w{span_of(x), span_of(y), span_of(z), dt};
  wavespec::check_waveform(w);
  return w;
}

// --- Errors ------------------------------------------------------------------

// OSError(errno, reason, file): Python picks the subclass users catch
// (FileNotFoundError, PermissionError, IsADirectoryError, ...).
void set_os_error(int error, const std::string &file) {
  const py::object e = py::reinterpret_borrow<py::object>(PyExc_OSError)(
      error, std::strerror(error), file.empty() ? py::none() : fs_str(file));
  PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(e.ptr())), e.ptr());
}

void register_errors(py::module_ &m) {
  // The type lives as long as the interpreter: never released, so that
  // nothing is released after the interpreter has gone.
  static const auto *record_error =
      new py::object(py::exception<wavespec::record_error>(m, "RecordError", PyExc_ValueError));
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p)
        std::rethrow_exception(p);
    } catch (const wavespec::record_error &e) {
      if (e.os_error() != 0)
        return set_os_error(e.os_error(), e.file());
      py::object error = (*record_error)(fs_str(e.what()));
      error.attr("report") = names_of(e.report());
      error.attr("line") = e.line();
      PyErr_SetObject(record_error->ptr(), error.ptr());
    } catch (const wavespec::file_error &e) {
      set_os_error(e.code().value(), e.path());
    } catch (const std::system_error &e) {
      PyErr_SetObject(PyExc_OSError, py::make_tuple(e.code().value(), std::string(e.what())).ptr());
    } catch (const wavespec::interrupted &) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::invalid_argument &e) { // options and bands refused, names in them
      PyErr_SetObject(PyExc_ValueError, fs_str(e.what()).ptr());
    }
  });
}

// --- The spectrum ------------------------------------------------------------

// One analysis as Python holds it: the core's spectrum, the record it came
// from, and the frequencies of its points.
struct py_spectrum {
  wavespec::spectrum s;
  wavespec::record_facts record;
  std::vector<float> freq;
  std::vector<float> eas; // the EAS when the analysis did not ask for it, made on first use
};

py_spectrum analyse(const float_array &x, const float_array &y, const float_array &z, float dt,
                    const std::string &header, py::handle source, py::handle operation,
                    py::handle band, py::handle konno_ohmachi, py::handle frequencies, bool eas,
                    bool band_clamp, bool hv, py::handle horizontal,
                    std::optional<unsigned> threads) {
  const wavespec::waveform_view w = waveform_of(x, y, z, dt);
  const wavespec::analysis_options options = analysis_options_of(
      operation, band, konno_ohmachi, frequencies, eas, band_clamp, hv, horizontal);
  py_spectrum r;
  r.record = {source.is_none() ? std::string() : fs_name(source), header, w.nt(), dt};
  wavespec::workspace &ws = thread_workspace(); // this thread's, lent to the work
  interruptible([&] {
    r.s = wavespec::analyse(w, options, ws, threads.value_or(wavespec::processors()));
    if (r.s.options.band != options.band) // clamped: the sidecar says what was asked
      r.record.band_asked = options.band;
    r.freq.resize(static_cast<std::size_t>(r.s.grid.nom));
    for (std::int32_t i = 0; i < r.s.grid.nom; ++i)
      r.freq[static_cast<std::size_t>(i)] = r.s.frequency(i);
  });
  return r;
}

void to_csv(const py_spectrum &sp, py::handle path, bool metadata) {
  const std::string output = fs_name(path);
  interruptible([&] {
    const wavespec::planned_record files = wavespec::plan_output(sp.record.input, output, metadata);
    wavespec::write_spectrum(sp.s, sp.record, files);
  });
}

py::object metadata_of(const py_spectrum &sp) {
  return py::module_::import("json").attr("loads")(wavespec::spectrum_metadata(sp.record, sp.s));
}

py::array eas_of(py::object self) {
  py_spectrum &sp = self.cast<py_spectrum &>();
  const auto nom = static_cast<py::ssize_t>(sp.s.grid.nom);
  if (!sp.s.eas_original.empty())
    return view(sp.s.eas_original.data(), {nom}, self);
  if (sp.eas.empty())
    sp.eas = wavespec::effective_amplitudes(sp.s);
  return view(sp.eas.data(), {nom}, self);
}

const char *const spectrum_doc = R"(The spectra of one analysis (made by wavespec.analyse).

freq (float32, nom points): the frequencies the CSV's first column renders;
original and smoothed (float32, shape (3, nom), rows X, Y, Z): the Fourier
amplitude after the operation and its Parzen smoothing (without smoothing,
the amplitude taken through power and back); eas: the effective amplitude
spectrum sqrt((X^2 + Y^2) / 2) of the originals, and with eas=True
smoothed_eas, smoothed like the components. With Konno-Ohmachi smoothing,
centres (float64) and konno_ohmachi (float32, rows X, Y, Z and with eas=True
EAS, one column per centre) hold what the program's file holds. With hv=True,
hv is the H/V ratio of the smoothed spectra and hv_peak its (f0, A0) within
usable_band, the record's usable band in Hz. Every array is a read-only view
of the spectrum's own storage.

grid (a FrequencyGrid) and its values nf, df, nom, dur, dom, eom, fmax and
band_limits; operation (0 to 3) and band; metadata (a dict, as the JSON
sidecar of wavespec --metadata); to_csv() writes the program's bytes.)";

void bind_spectrum(py::module_ &m) {
  py::class_<py_spectrum> c(m, "Spectrum", spectrum_doc);
  const auto grid_value = [&c](const char *name, auto member, const char *doc) {
    c.def_property_readonly(
        name, [member](const py_spectrum &sp) { return sp.s.grid.*member; }, doc);
  };
  c.def_property_readonly(
      "grid", [](const py_spectrum &sp) { return sp.s.grid; }, "The frequency grid.");
  grid_value("nf", &wavespec::frequency_grid::nf, "The transform length.");
  grid_value("df", &wavespec::frequency_grid::df, "The frequency step (Hz).");
  grid_value("nom", &wavespec::frequency_grid::nom, "The number of frequency points.");
  grid_value("dur", &wavespec::frequency_grid::dur, "nf * dt (s).");
  grid_value("dom", &wavespec::frequency_grid::dom, "The angular-frequency step (rad/s).");
  grid_value("eom", &wavespec::frequency_grid::eom, "nom * dom.");
  grid_value("fmax", &wavespec::frequency_grid::highest, "The highest frequency reported (Hz).");
  c.def_property_readonly(
      "band_limits",
      [](const py_spectrum &sp) { return py::make_tuple(sp.s.grid.band_min, sp.s.grid.band_max); },
      "(narrowest, widest) Parzen bandwidth in Hz, as the dialogue shows them.");
  c.def_property_readonly(
      "operation", [](const py_spectrum &sp) { return static_cast<int>(sp.s.options.op); },
      "The operation, 0 to 3 (see OPERATIONS).");
  c.def_property_readonly(
      "band", [](const py_spectrum &sp) { return sp.s.options.band; },
      "The Parzen bandwidth (Hz; 0 for none).");
  c.def_property_readonly(
      "freq",
      [](py::object self) {
        const py_spectrum &sp = self.cast<const py_spectrum &>();
        return view(sp.freq.data(), {static_cast<py::ssize_t>(sp.freq.size())}, self);
      },
      "The frequency of each point as the CSV renders it (float32, nom).");
  for (const bool smoothed : {false, true})
    c.def_property_readonly(
        smoothed ? "smoothed" : "original",
        [smoothed](py::object self) {
          const py_spectrum &sp = self.cast<const py_spectrum &>();
          const auto &values = smoothed ? sp.s.smoothed_values : sp.s.original_values;
          return view(values.data(), {3, static_cast<py::ssize_t>(sp.s.grid.nom)}, self);
        },
        smoothed ? "The smoothed amplitudes, rows X, Y, Z (float32, (3, nom))."
                 : "The amplitudes after the operation, rows X, Y, Z (float32, (3, nom)).");
  c.def_property_readonly("eas", &eas_of,
                          "sqrt((X^2 + Y^2) / 2) of the original amplitudes (float32, nom).");
  c.def_property_readonly(
      "smoothed_eas",
      [](py::object self) -> py::object {
        const py_spectrum &sp = self.cast<const py_spectrum &>();
        if (sp.s.eas_smoothed.empty())
          return py::none();
        return view(sp.s.eas_smoothed.data(), {static_cast<py::ssize_t>(sp.s.grid.nom)}, self);
      },
      "With eas=True, the EAS smoothed like the components; None otherwise.");
  c.def_property_readonly(
      "centres",
      [](py::object self) -> py::object {
        const py_spectrum &sp = self.cast<const py_spectrum &>();
        if (sp.s.centres.empty())
          return py::none();
        return view(sp.s.centres.data(), {static_cast<py::ssize_t>(sp.s.centres.size())}, self);
      },
      "With Konno-Ohmachi smoothing, the centre frequencies (float64); None otherwise.");
  c.def_property_readonly(
      "konno_ohmachi",
      [](py::object self) -> py::object {
        const py_spectrum &sp = self.cast<const py_spectrum &>();
        const auto n = static_cast<py::ssize_t>(sp.s.centres.size());
        if (n == 0)
          return py::none();
        const auto rows = static_cast<py::ssize_t>(sp.s.konno_ohmachi_values.size()) / n;
        return view(sp.s.konno_ohmachi_values.data(), {rows, n}, self);
      },
      "With Konno-Ohmachi smoothing, the smoothed X, Y, Z (and EAS) at the centres\n"
      "(float32, (3 or 4, len(centres))); None otherwise.");
  c.def_property_readonly(
      "hv",
      [](py::object self) -> py::object {
        const py_spectrum &sp = self.cast<const py_spectrum &>();
        if (sp.s.hv.empty())
          return py::none();
        return view(sp.s.hv.data(), {static_cast<py::ssize_t>(sp.s.hv.size())}, self);
      },
      "With hv=True, the horizontal-to-vertical ratio of the smoothed spectra at each point\n"
      "(Parzen) or centre (Konno-Ohmachi), float32; None otherwise.");
  c.def_property_readonly(
      "usable_band",
      [](const py_spectrum &sp) {
        const wavespec::frequency_band b =
            wavespec::usable_band(sp.record.nt, sp.record.dt, sp.s.grid);
        return py::make_tuple(b.low, b.high);
      },
      "(low, high) Hz: from 1 / ((nt - 1) dt), at least df, to the Nyquist frequency.");
  c.def_property_readonly(
      "hv_peak",
      [](const py_spectrum &sp) -> py::object {
        const auto peak = wavespec::find_hv_peak(
            sp.s, wavespec::usable_band(sp.record.nt, sp.record.dt, sp.s.grid));
        if (!peak)
          return py::none();
        return py::make_tuple(peak->f0, peak->a0);
      },
      "(f0, A0): the frequency and value of the largest H/V within the usable band (the\n"
      "lowest frequency of equal values); None without H/V or a point in the band.");
  c.def_property_readonly("metadata", &metadata_of,
                          "What the CSV cannot say, as the JSON sidecar gives it (a dict).");
  c.def("to_csv", &to_csv, "path"_a, "metadata"_a = false,
        R"(Writes the spectrum CSV file, the same bytes as the wavespec program, and with
metadata=True its JSON sidecar beside it (PATH.json for PATH.csv; none beside
a device, a FIFO or standard output, "-").

Each file is written whole or not at all, and the two together: neither is
left newer than the other. The file the record was read from is refused
under any name (ValueError) and left intact. A file that cannot be written
raises OSError (PermissionError, IsADirectoryError, ...).)");
  c.def("__repr__", [](const py_spectrum &sp) {
    return "Spectrum(nf=" + std::to_string(sp.s.grid.nf) +
           ", operation=" + std::string(wavespec::operation_name(sp.s.options.op)) + ")";
  });
}

void bind_grid(py::module_ &m) {
  using g = wavespec::frequency_grid;
  py::class_<g>(m, "FrequencyGrid",
                "The frequency grid of a record's transform; every value a 32-bit real "
                "rounded once.")
      .def_readonly("nf", &g::nf, "The transform length, a power of two from 4 up.")
      .def_readonly("dur", &g::dur, "nf * dt (s).")
      .def_readonly("df", &g::df, "1 / dur, the frequency step (Hz).")
      .def_readonly("dom", &g::dom, "df * 2 pi (rad/s).")
      .def_readonly("nom", &g::nom, "nf / 2 + 1 points from 0 Hz to the Nyquist frequency.")
      .def_readonly("eom", &g::eom, "nom * dom.")
      .def_readonly("fmax", &g::highest, "The highest frequency reported, nom * df (Hz).")
      .def_readonly("band_min", &g::band_min, "The narrowest Parzen bandwidth (Hz).")
      .def_readonly("band_max", &g::band_max, "The widest Parzen bandwidth (Hz).")
      .def("__repr__",
           [](const g &x) {
             return "FrequencyGrid(nf=" + std::to_string(x.nf) +
                    ", df=" + std::string(py::repr(py::float_(x.df))) + ")";
           })
      .def(py::pickle(
          [](const g &x) {
            return py::make_tuple(x.nf, x.dur, x.df, x.dom, x.nom, x.eom, x.highest, x.band_min,
                                  x.band_max);
          },
          [](const py::tuple &t) {
            return g{t[0].cast<std::int32_t>(), t[1].cast<float>(),        t[2].cast<float>(),
                     t[3].cast<float>(),        t[4].cast<std::int32_t>(), t[5].cast<float>(),
                     t[6].cast<float>(),        t[7].cast<float>(),        t[8].cast<float>()};
          }));
}

// --- Konno-Ohmachi smoothing of any amplitudes ----------------------------------

// The points of a frequency array that take part (f > 0): exactly k df when
// it is the grid a spectrum gives (freq[k] the float of k df), so that the
// results are the command line's; its values otherwise.
std::vector<double> points_of(const double_array &freq, bool is_float_grid, std::size_t &first) {
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

py::tuple konno_ohmachi(const py::array &freq, const py::array &amplitudes, py::handle b,
                        py::handle frequencies, std::optional<unsigned> threads) {
  const bool is_float_grid = py::isinstance<py::array_t<float>>(freq);
  const auto fd = double_array::ensure(freq);
  const auto amp = float_array::ensure(amplitudes);
  if (!fd || !amp || fd.ndim() != 1 || amp.ndim() < 1 || amp.ndim() > 2 ||
      amp.shape(amp.ndim() - 1) != fd.size())
    throw py::value_error("amplitudes must be of shape (n,) or (m, n) for n frequencies");
  std::size_t first = 0;
  const std::vector<double> f = points_of(fd, is_float_grid, first);
  if (f.size() < 2)
    throw py::value_error("at least two positive frequencies are needed");
  const wavespec::analysis_options o =
      analysis_options_of(py::none(), py::none(), b, frequencies, false);
  const std::vector<double> fc =
      !o.centres.empty() ? o.centres
      : o.spread.n > 0 ? wavespec::log_spaced_frequencies(o.spread.fmin, o.spread.fmax, o.spread.n)
                       : wavespec::per_decade_frequencies(f.front(), f.back());
  const std::size_t rows = amp.ndim() == 1 ? 1 : static_cast<std::size_t>(amp.shape(0));
  const auto n = static_cast<std::size_t>(fd.size());
  std::vector<std::span<const float>> series;
  for (std::size_t r = 0; r < rows; ++r)
    series.emplace_back(amp.data() + r * n + first, f.size());
  const auto columns = static_cast<py::ssize_t>(fc.size());
  py::array_t<float> smoothed(
      amp.ndim() == 1 ? std::vector<py::ssize_t>{columns}
                      : std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows), columns});
  float *const out = smoothed.mutable_data();
  interruptible([&] {
    const unsigned sharing = threads.value_or(wavespec::processors());
    const wavespec::konno_ohmachi_plan plan(f, series, o.konno_ohmachi, sharing);
    if (!plan.smooth(fc, {out, rows * fc.size()}, sharing,
                     [] { return wavespec::pending_interrupt() != 0; }))
      throw wavespec::interrupted(wavespec::pending_interrupt());
  });
  return py::make_tuple(py::array_t<double>(columns, fc.data()), smoothed);
}

void bind_smoothing(py::module_ &m) {
  m.def("konno_ohmachi", &konno_ohmachi, "freq"_a, "amplitudes"_a, "b"_a = 40.0,
        "frequencies"_a = py::none(), "threads"_a = py::none(),
        "Konno-Ohmachi smoothing of any amplitudes; see wavespec.konno_ohmachi.");
  m.def(
      "log_spaced_frequencies",
      [](double fmin, double fmax, std::int64_t n) {
        const std::vector<double> f = wavespec::log_spaced_frequencies(fmin, fmax, n);
        return py::array_t<double>(static_cast<py::ssize_t>(f.size()), f.data());
      },
      "fmin"_a, "fmax"_a, "n"_a,
      "n frequencies even in log10 from fmin to fmax inclusive, as --frequencies FMIN:FMAX:N.");
}

// --- A run of many records ---------------------------------------------------

wavespec::front_end program_of(const std::string &name) {
  if (name == "wavespec")
    return wavespec::front_end::command_line;
  if (name == "batch")
    return wavespec::front_end::dask_batch;
  throw py::value_error("program must be \"wavespec\" or \"batch\", not \"" + name + "\"");
}

py::bytes bytes_of(const std::string &s) {
  return {s.data(), s.size()};
}

// The options of a run from Python's keywords, checked as the command
// line's.
wavespec::run_options run_options_of(const py::iterable &inputs, const py::kwargs &kw) {
  static const char *const known[] = {
      "operation", "band",       "konno_ohmachi", "frequencies", "eas",     "band_clamp",
      "hv",        "horizontal", "output",        "output_dir",  "summary", "flatfile",
      "metadata",  "resume",     "strict",        "dry_run",     "jobs"};
  for (const auto &item : kw)
    if (std::find(std::begin(known), std::end(known), py::str(item.first).cast<std::string>()) ==
        std::end(known))
      throw py::type_error("RunOptions() got an unexpected keyword argument '" +
                           py::str(item.first).cast<std::string>() + "'");
  const auto get = [&kw](const char *name) -> py::object {
    return kw.contains(name) ? py::object(kw[name]) : py::object(py::none());
  };
  const auto flag = [&get](const char *name) { return py::bool_(get(name)).cast<bool>(); };
  const auto name = [&get](const char *key) {
    return get(key).is_none() ? std::string() : fs_name(get(key));
  };
  // A name is iterable too, by its characters: a run of one record is ["a.txt"].
  if (py::isinstance<py::str>(inputs) || py::isinstance<py::bytes>(inputs))
    throw py::type_error("inputs must be a list of file names, not one name: RunOptions([" +
                         py::repr(inputs).cast<std::string>() + "], ...)");
  wavespec::run_options o;
  o.inputs = fs_names(inputs);
  o.analysis =
      analysis_options_of(get("operation"), get("band"), get("konno_ohmachi"), get("frequencies"),
                          flag("eas"), flag("band_clamp"), flag("hv"), get("horizontal"));
  o.output = name("output");
  o.output_dir = name("output_dir");
  o.summary = name("summary");
  o.flatfile = name("flatfile");
  o.metadata = flag("metadata");
  o.resume = flag("resume");
  o.strict = flag("strict");
  o.dry_run = flag("dry_run");
  if (!get("jobs").is_none())
    o.jobs = wavespec::parse_jobs(option_text(get("jobs"), "jobs"));
  wavespec::check_run_options(o, wavespec::front_end::command_line);
  return o;
}

void bind_options(py::module_ &m) {
  using o = wavespec::run_options;
  py::class_<o>(m, "RunOptions",
                R"(The options of a run, checked by the core's rules with its words.

RunOptions(inputs, **options) takes the command line's options by their long
names (operation, band, konno_ohmachi, frequencies, eas, hv, horizontal,
band_clamp, output, output_dir, summary, flatfile, metadata, resume, strict,
dry_run, jobs); parse_arguments gives the same from a command line.)")
      .def(py::init(&run_options_of), "inputs"_a)
      .def_property_readonly("inputs", [](const o &x) { return names_of(x.inputs); })
      .def_property_readonly("output", [](const o &x) { return fs_str(x.output); })
      .def_property_readonly("output_dir", [](const o &x) { return fs_str(x.output_dir); })
      .def_property_readonly("summary", [](const o &x) { return fs_str(x.summary); })
      .def_readonly("metadata", &o::metadata)
      .def_property_readonly("flatfile", [](const o &x) { return fs_str(x.flatfile); })
      .def_readonly("jobs", &o::jobs,
                    "Records (or worker processes) at once; 0: one per processor.")
      .def_readonly("quiet", &o::quiet)
      .def_readonly("dry_run", &o::dry_run)
      .def_readonly("resume", &o::resume)
      .def_readonly("strict", &o::strict)
      .def_readonly("scheduler", &o::scheduler)
      .def_property_readonly("operation",
                             [](const o &x) { return wavespec::operation_name(x.analysis.op); })
      .def_property_readonly("band", [](const o &x) { return x.analysis.band; })
      .def_property_readonly("konno_ohmachi", [](const o &x) { return x.analysis.konno_ohmachi; })
      .def_property_readonly(
          "frequencies",
          [](const o &x) -> py::object {
            if (x.analysis.spread.n != 0)
              return py::make_tuple(x.analysis.spread.fmin, x.analysis.spread.fmax,
                                    x.analysis.spread.n);
            return py::cast(x.analysis.centres);
          },
          "The Konno-Ohmachi centres: (FMIN, FMAX, N), the list given, or [] for 100 per decade.")
      .def_property_readonly("eas", [](const o &x) { return x.analysis.eas; })
      .def_property_readonly("band_clamp", [](const o &x) { return x.analysis.band_clamp; })
      .def(py::pickle(
          [](const o &x) {
            py::list inputs;
            for (const std::string &i : x.inputs)
              inputs.append(bytes_of(i));
            return py::make_tuple(
                static_cast<int>(x.analysis.op), x.analysis.band, x.analysis.konno_ohmachi,
                x.analysis.centres, x.analysis.eas, x.metadata, bytes_of(x.output),
                bytes_of(x.output_dir), bytes_of(x.summary), x.jobs, x.quiet, x.scheduler, inputs,
                x.analysis.band_clamp, x.dry_run, x.resume, x.strict, bytes_of(x.flatfile),
                x.analysis.hv, static_cast<int>(x.analysis.horizontal),
                py::make_tuple(x.analysis.spread.fmin, x.analysis.spread.fmax,
                               x.analysis.spread.n));
          },
          [](const py::tuple &t) {
            o x;
            x.analysis.op = static_cast<wavespec::operation>(t[0].cast<int>());
            x.analysis.band = t[1].cast<float>();
            x.analysis.konno_ohmachi = t[2].cast<double>();
            x.analysis.centres = t[3].cast<std::vector<double>>();
            x.analysis.eas = t[4].cast<bool>();
            x.metadata = t[5].cast<bool>();
            x.output = t[6].cast<std::string>();
            x.output_dir = t[7].cast<std::string>();
            x.summary = t[8].cast<std::string>();
            x.jobs = t[9].cast<unsigned>();
            x.quiet = t[10].cast<bool>();
            x.scheduler = t[11].cast<std::string>();
            x.inputs = t[12].cast<std::vector<std::string>>();
            x.analysis.band_clamp = t[13].cast<bool>();
            x.dry_run = t[14].cast<bool>();
            x.resume = t[15].cast<bool>();
            x.strict = t[16].cast<bool>();
            x.flatfile = t[17].cast<std::string>();
            x.analysis.hv = t[18].cast<bool>();
            x.analysis.horizontal = static_cast<wavespec::horizontal_mean>(t[19].cast<int>());
            x.analysis.spread = {t[20][py::int_(0)].cast<double>(),
                                 t[20][py::int_(1)].cast<double>(),
                                 t[20][py::int_(2)].cast<std::int64_t>()};
            return x;
          }));
}

void bind_plan(py::module_ &m) {
  using r = wavespec::planned_record;
  py::class_<r>(m, "PlannedRecord", "The files of one record: input, output and sidecar.")
      .def_property_readonly("input", [](const r &x) { return fs_str(x.input); })
      .def_property_readonly("output", [](const r &x) { return fs_str(x.output); })
      .def_property_readonly("sidecar", [](const r &x) { return fs_str(x.sidecar); })
      .def(py::pickle(
          [](const r &x) {
            return py::make_tuple(bytes_of(x.input), bytes_of(x.output), bytes_of(x.sidecar),
                                  bytes_of(x.previous_row));
          },
          [](const py::tuple &t) {
            return r{t[0].cast<std::string>(), t[1].cast<std::string>(), t[2].cast<std::string>(),
                     t[3].cast<std::string>()};
          }));
  py::class_<wavespec::run_plan>(m, "RunPlan", "Every file a run writes (see plan_run).")
      .def_readonly("records", &wavespec::run_plan::records)
      .def_property_readonly("summary",
                             [](const wavespec::run_plan &x) { return fs_str(x.summary); })
      .def_property_readonly("flatfile",
                             [](const wavespec::run_plan &x) { return fs_str(x.flatfile); })
      .def_property_readonly("destination",
                             [](const wavespec::run_plan &x) { return fs_str(x.destination); });
}

void bind_outcome(py::module_ &m) {
  using o = wavespec::record_outcome;
  py::class_<o>(m, "Outcome",
                "How one record of a run ended: status is ok, unreadable, not-analysable, "
                "band-refused, bad-options, output-failed, out-of-memory, worker-failed, "
                "output-closed, skipped or interrupted.")
      .def(py::init([](const wavespec::planned_record &r, const std::string &status,
                       std::string message) {
             o x;
             x.input = r.input;
             x.output = r.output;
             x.status = wavespec::status_named(status);
             x.message = std::move(message);
             return x;
           }),
           "record"_a, "status"_a, "message"_a,
           "The outcome of a record that did not run its course (a worker that failed).")
      .def_property_readonly("input", [](const o &x) { return fs_str(x.input); })
      .def_property_readonly("output", [](const o &x) { return fs_str(x.output); })
      .def_property_readonly("status", [](const o &x) { return wavespec::status_name(x.status); })
      .def_property_readonly("ok", &o::ok)
      .def_property_readonly("done_well", &o::done_well,
                             "Ok, or passed over as already there (--resume): not a failure.")
      .def_property_readonly(
          "message", [](const o &x) { return fs_str(x.message); },
          "The failure on one line (names as Python decodes file names); empty when ok.")
      .def_readonly("nt", &o::nt)
      .def_readonly("dt", &o::dt)
      .def_readonly("grid", &o::grid)
      .def_property_readonly(
          "warning", [](const o &x) { return fs_str(x.warning); },
          "A reading that usually means a damaged file, on one line; empty when none.")
      .def_readonly("band", &o::band, "The Parzen band used (with band_clamp, the nearest limit).")
      .def_property_readonly(
          "hv_peak",
          [](const o &x) -> py::object {
            if (!x.peak)
              return py::none();
            return py::make_tuple(x.peak->f0, x.peak->a0);
          },
          "With hv: (f0, A0) within the usable band; None otherwise.")
      .def(
          "summary_row",
          [](const o &x, const wavespec::run_options &options) {
            return bytes_of(wavespec::summary_row(options, x));
          },
          "options"_a, "The row of the summary CSV (bytes: file names as the system has them).")
      .def("__repr__",
           [](const o &x) {
             return "Outcome(" + std::string(py::repr(fs_str(x.input))) + ", " +
                    std::string(wavespec::status_name(x.status)) + ")";
           })
      .def(py::pickle(
          [](const o &x) {
            return py::make_tuple(bytes_of(x.input), bytes_of(x.output), static_cast<int>(x.status),
                                  bytes_of(x.message), x.nt, x.dt, x.grid, bytes_of(x.warning),
                                  x.band, bytes_of(x.flat_row),
                                  x.peak ? py::object(py::make_tuple(x.peak->f0, x.peak->a0))
                                         : py::object(py::none()));
          },
          [](const py::tuple &t) {
            o x;
            x.input = t[0].cast<std::string>();
            x.output = t[1].cast<std::string>();
            x.status = static_cast<wavespec::record_status>(t[2].cast<int>());
            x.message = t[3].cast<std::string>();
            x.nt = t[4].cast<std::optional<std::int64_t>>();
            x.dt = t[5].cast<std::optional<float>>();
            x.grid = t[6].cast<std::optional<wavespec::frequency_grid>>();
            x.warning = t[7].cast<std::string>();
            x.band = t[8].cast<std::optional<float>>();
            x.flat_row = t[9].cast<std::string>();
            if (!t[10].is_none())
              x.peak = wavespec::hv_peak{t[10][py::int_(0)].cast<double>(),
                                         t[10][py::int_(1)].cast<float>()};
            return x;
          }));
}

// A file written whole or not at all ("-": standard output).
class py_output_file {
public:
  // Opening may wait (a FIFO with no reader yet) and ends on a signal; a
  // closed standard output is refused at once.
  explicit py_output_file(const std::string &path) {
    if (path == wavespec::standard_stream)
      file_.emplace(1, "standard output");
    else // a FIFO's open waits for its reader: a signal ends the wait
      interruptible([&] { file_.emplace(path); });
  }
  void write(const py::bytes &data) {
    const std::string bytes = data;
    interruptible([&] { file_->write(bytes); });
  }
  void commit() {
    interruptible([&] { file_->commit(); });
  }
  // A file a run ends with, written as every front end writes it: how it
  // went and the line that tells it (see write_end_file).
  py::tuple write_at_end(const std::string &what, const std::string &name, const py::bytes &data) {
    const std::string bytes = data;
    const wavespec::end_result r =
        interruptible([&] { return wavespec::write_end_file(*file_, what, name, bytes); });
    return py::make_tuple(r.how, r.line);
  }

private:
  std::optional<wavespec::output_file> file_;
};

using outcome_list = std::vector<std::optional<wavespec::record_outcome>>;

void bind_run_functions(py::module_ &m) {
  m.def(
      "parse_arguments",
      [](const py::iterable &args, const std::string &program) {
        wavespec::run_options o;
        const std::vector<std::string> text = fs_names(args);
        static const char *const commands[] = {"run", "help", "version"};
        const wavespec::command c = wavespec::parse_arguments(text, program_of(program), o);
        return py::make_tuple(commands[static_cast<int>(c)], o);
      },
      "args"_a, "program"_a = "batch",
      "(command, RunOptions) of a command line: command is \"run\", \"help\" or \"version\".\n"
      "Raises ValueError with the words wavespec gives.");
  m.def(
      "help_text",
      [](const std::string &program) { return wavespec::help_text(program_of(program)); },
      "program"_a = "batch", "The --help text.");
  m.def(
      "make_output_dir",
      [](py::handle dir) {
        const std::string name = fs_name(dir);
        const py::gil_scoped_release unlocked;
        wavespec::make_output_dir(name);
      },
      "dir"_a, "Makes the folder -d names, with its parents; OSError naming it.");
  m.def(
      "help_pointer",
      [](const std::string &program) { return wavespec::help_pointer(program_of(program)); },
      "program"_a = "batch", "The line after a refused command line.");
  m.def(
      "plan_run",
      [](const wavespec::run_options &o) {
        const py::gil_scoped_release unlocked;
        return wavespec::plan_run(o);
      },
      "options"_a, "Every file the run writes; ValueError for the refusals of wavespec.");
  m.def(
      "process_record",
      [](const wavespec::planned_record &r, const wavespec::run_options &o, py::handle directory) {
        const std::string dir = directory.is_none() ? std::string() : fs_name(directory);
        wavespec::workspace &ws = thread_workspace(); // this thread's, lent to the work
        return interruptible([&] { return wavespec::process_record(r, o, ws, dir); });
      },
      "record"_a, "options"_a, "directory"_a = py::none(),
      "One record's whole course; relative names taken from directory when given.");
  m.def(
      "summary_text",
      [](const wavespec::run_options &options, const outcome_list &outcomes) {
        return bytes_of(wavespec::summary_text(options, outcomes));
      },
      "options"_a, "outcomes"_a,
      "The summary CSV of the outcomes (None: a record not done), as bytes.");
  m.def(
      "flatfile_text",
      [](const wavespec::run_options &options, const outcome_list &outcomes) {
        return bytes_of(wavespec::flatfile_text(options, outcomes));
      },
      "options"_a, "outcomes"_a,
      "The flatfile of the outcomes (None: a record not done), as bytes.");
  m.def(
      "warning_line",
      [](const wavespec::record_outcome &o) { return fs_str(wavespec::warning_line(o)); },
      "outcome"_a, "\"FILE: warning: ...\".");
  m.def("progress_line", &wavespec::progress_line, "done"_a, "total"_a, "failed"_a, "seconds"_a,
        "A run's progress on one line.");
  m.def(
      "failure_line",
      [](const wavespec::record_outcome &o) { return fs_str(wavespec::failure_line(o)); },
      "outcome"_a, "\"FILE: what went wrong\".");
  m.def(
      "closing_line",
      [](const wavespec::run_plan &plan, const outcome_list &outcomes, double seconds,
         bool interrupted) {
        return fs_str(wavespec::closing_line(plan, outcomes, seconds, interrupted));
      },
      "plan"_a, "outcomes"_a, "seconds"_a, "interrupted"_a, "The line a run ends with.");
  m.def(
      "exit_status",
      [](const outcome_list &outcomes, bool interrupted, bool failed_otherwise) {
        return wavespec::exit_status(outcomes, interrupted, failed_otherwise);
      },
      "outcomes"_a, "interrupted"_a, "failed_otherwise"_a = false,
      "1 interrupted, 2 any failure, else 0.");
  m.def(
      "operation_number",
      [](py::handle op) {
        return static_cast<int>(wavespec::parse_operation(option_text(op, "operation")));
      },
      "operation"_a, "0 to 3 for an operation given by number or by name.");
  m.def(
      "note_interrupt", [](int signal) { wavespec::note_interrupt(signal); }, "signal"_a = SIGINT,
      "Notes a signal for the core's work under way on any thread: it ends at its next look.");
  m.def("clear_interrupt", &wavespec::clear_interrupt, "Clears the note of note_interrupt.");
  m.def(
      "operation_names",
      [] {
        std::vector<std::string> names;
        for (int i = 0; i < 4; ++i)
          names.emplace_back(wavespec::operation_name(static_cast<wavespec::operation>(i)));
        return names;
      },
      "The operations' names, by their numbers 0 to 3.");
  py::class_<py_output_file>(m, "OutputFile",
                             "A file written whole or not at all (\"-\": standard output).")
      .def(
          py::init([](py::handle path) { return std::make_unique<py_output_file>(fs_name(path)); }),
          "path"_a)
      .def("write", &py_output_file::write, "data"_a, "Appends bytes.")
      .def("commit", &py_output_file::commit, "The file is complete: it takes its name.")
      .def("write_at_end", &py_output_file::write_at_end, "what"_a, "name"_a, "data"_a,
           "Writes and commits a file a run ends with (the summary, the flatfile), also after\n"
           "an interrupt: (EndWritten, the line that tells it, empty when written or when\n"
           "standard output's reader went away).");
  py::enum_<wavespec::end_written>(m, "EndWritten", "How a file a run ends with went.")
      .value("written", wavespec::end_written::written)
      .value("failed", wavespec::end_written::failed)
      .value("given_up", wavespec::end_written::given_up)
      .value("reader_gone", wavespec::end_written::reader_gone);
}

void bind_run(py::module_ &m) {
  bind_options(m);
  bind_plan(m);
  bind_outcome(m);
  bind_run_functions(m);
}

} // namespace

PYBIND11_MODULE(_wavespec, m) {
  m.doc() = "The C++ core under the wavespec package; use the package itself.";
  m.attr("__version__") = wavespec::version;
  m.attr("max_samples") = wavespec::max_samples;
  register_errors(m);
  bind_grid(m);
  bind_spectrum(m);
  m.def(
      "read_waveform",
      [](py::handle path, bool strict) {
        const std::string name = fs_name(path);
        wavespec::waveform w = interruptible([&] { return wavespec::read_waveform(name, strict); });
        const auto owned = [](std::vector<float> &&values) {
          auto *owner = new std::vector<float>(std::move(values));
          const py::capsule release(owner,
                                    [](void *p) { delete static_cast<std::vector<float> *>(p); });
          return py::array_t<float>(static_cast<py::ssize_t>(owner->size()), owner->data(),
                                    release);
        };
        return py::make_tuple(w.header, owned(std::move(w.x)), owned(std::move(w.y)),
                              owned(std::move(w.z)), w.dt, fs_str(w.warning));
      },
      "path"_a, "strict"_a = false,
      "(header, x, y, z, dt, warning) of a waveform file; see wavespec.read_waveform.");
  m.def(
      "check_waveform",
      [](const float_array &x, const float_array &y, const float_array &z, float dt) {
        (void)waveform_of(x, y, z, dt);
      },
      "x"_a, "y"_a, "z"_a, "dt"_a, "Raises ValueError when the arrays cannot be a record.");
  m.def("analyse", &analyse, "x"_a, "y"_a, "z"_a, "dt"_a, py::kw_only(), "header"_a = "",
        "source"_a = py::none(), "operation"_a = py::none(), "band"_a = py::none(),
        "konno_ohmachi"_a = py::none(), "frequencies"_a = py::none(), "eas"_a = false,
        "band_clamp"_a = false, "hv"_a = false, "horizontal"_a = py::none(),
        "threads"_a = py::none(), "The analysis of a record's arrays; see wavespec.analyse.");
  bind_smoothing(m);
  bind_run(m);
}
