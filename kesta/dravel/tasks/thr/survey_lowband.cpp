// TNR survey spectra, normal and burst mode.
//
// Every data block of every packet becomes one block record (layout create_dtype()), decoded
// by the receiver helpers through the packet's Data reader; then every band of a block whose
// enable flag is 1 becomes one L1 TNR record (layout tnr_dtype()) with its measurement times.
// A packet that cannot be decoded is reported to the task and skipped; the blocks it stored
// before failing stay.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "module.hpp"
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"
#include "slots.hpp"
#include "survey_records.hpp"
#include "thr_packets.hpp"
#include "time_service.hpp"
#include "tnr_layouts.hpp"

namespace py = pybind11;
using namespace dravel;

namespace {

using thr::survey::frequency_list;
using thr::survey::NBINS;
using thr::survey::THR_TICK_NSEC;
constexpr std::uint64_t UINT32_MAX_ENCODING = 4294967296ULL;
using thr::tnr::BAND_LETTERS;
using thr::tnr::NBANDS;
constexpr std::size_t BLOCK_HEADER_BYTES = 30;

// ---------------------------------------------------------------------------------------
// Outside components

struct Components : thr::Components {
  Binding zelk_status{"kesta.dravel.tasks.thr.science_tools", "zelk_status"};
  Binding temperatures_command{"kesta.dravel.tasks.thr.science_tools", "temperatures_command"};
  Binding average_nr{"kesta.dravel.tasks.thr.science_tools", "average_nr"};
  Binding zelk_status_dtype{"kesta.dravel.tasks.thr.science_tools", "zelk_status_dtype"};
  Binding temperatures_dtype{"kesta.dravel.tasks.thr.science_tools", "temperatures_dtype"};
  Binding tnr_setup{"kesta.dravel.tasks.thr.tnr", "tnr_setup"};
  Binding delta_times{"kesta.dravel.tasks.thr.tnr", "delta_times"};
  Binding extract_band{"kesta.dravel.tasks.thr.tnr", "extract_band"};
  Binding tnr_dtype{"kesta.dravel.tasks.thr.tnr", "tnr_dtype"};
  Binding DURATION{"kesta.dravel.tasks.thr.tnr", "DURATION"};
};

const Components& components() { return bindings<Components>(); }

// The components as their modules hold them at the start of a call.
struct Helpers {
  py::object Data, Time, filler, print_exception;
  py::object zelk_status, temperatures_command, input_setup, do_analysis, average_nr;
  py::object tnr_setup, delta_times, extract_band, tnr_dtype, DURATION;

  Helpers() {
    const Components& c = components();
    Data = c.Data.get();
    Time = c.Time.get();
    filler = c.fill_records.get();
    print_exception = c.print_exception.get();
    zelk_status = c.zelk_status.get();
    temperatures_command = c.temperatures_command.get();
    input_setup = c.input_setup.get();
    do_analysis = c.do_analysis.get();
    average_nr = c.average_nr.get();
    tnr_setup = c.tnr_setup.get();
    delta_times = c.delta_times.get();
    extract_band = c.extract_band.get();
    tnr_dtype = c.tnr_dtype.get();
    DURATION = c.DURATION.get();
  }
};

// ---------------------------------------------------------------------------------------
// Layouts and constants

py::list delta_times_dtype() {
  py::list l;
  for (const char* name : BAND_LETTERS) l.append(entry(name, "uint32"));
  return l;
}

py::list channel_dtype() { return thr::tnr::channel_dtype(NBINS); }
py::list band_dtype() { return thr::tnr::band_dtype(NBINS); }
py::list block_data_dtype() { return thr::tnr::bands_dtype(NBINS); }

py::list create_dtype() {
  const Components& c = components();
  py::list l;
  l.append(entry("cmd_ctr", "uint8"));
  l.append(entry("zelk_status", c.zelk_status_dtype.get()()));
  l.append(entry("temperatures", c.temperatures_dtype.get()()));
  l.append(entry("tnr_setup", thr::tnr::tnr_setup_dtype()));
  l.append(entry("input_setup", c.input_setup_dtype.get()()));
  l.append(entry("do_analysis", c.do_analysis_dtype.get()()));
  l.append(entry("delta_times", delta_times_dtype()));
  l.append(entry("data", block_data_dtype()));
  l.append(entry("acquisition_time", "uint32", 3));
  return l;
}

// ---------------------------------------------------------------------------------------
// Record counting

// Records called for by a block array: one per band flag equal to 1. A flag of 2 or more marks
// a disabled band and counts for nothing.
std::pair<std::uint64_t, std::array<std::uint64_t, NBANDS>> count_records(const RecordArray& blocks) {
  std::array<std::uint64_t, NBANDS> bands{};
  if (blocks.size() > 0) {
    std::array<Field, NBANDS> flag;
    for (std::size_t k = 0; k < NBANDS; ++k) flag[k] = blocks.field(std::string("tnr_setup.") + BAND_LETTERS[k]);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      const char* rec = blocks.record(i);
      for (std::size_t k = 0; k < NBANDS; ++k) bands[k] += flag[k].load(rec).equals_one() ? 1u : 0u;
    }
  }
  std::uint64_t number = 0;
  for (std::uint64_t n : bands) number += n;
  return {number, bands};
}

py::tuple band_record_number(py::object array) {
  py::array arr = numpy().require(numpy().asarray(array), py::none(), "C");
  if (arr.ndim() != 1) fail(PyExc_ValueError, "band_record_number takes a one-dimensional block array");
  auto [number, bands] = count_records(RecordArray(arr));
  return py::make_tuple(number, py::make_tuple(bands[0], bands[1], bands[2], bands[3]));
}

// ---------------------------------------------------------------------------------------
// Block extraction

// Where the helper values of one block go in a block record.
struct BlockPlans {
  Field cmd_ctr, acquisition_time;
  FieldSlots zelk_status, temperatures, tnr_setup, input_setup, do_analysis, delta_times;
  std::array<FieldSlots, NBANDS> band;

  explicit BlockPlans(const RecordArray& blocks)
      : cmd_ctr(blocks.field("cmd_ctr")),
        acquisition_time(blocks.field("acquisition_time")),
        zelk_status(blocks.field("zelk_status")),
        temperatures(blocks.field("temperatures")),
        tnr_setup(blocks.field("tnr_setup")),
        input_setup(blocks.field("input_setup")),
        do_analysis(blocks.field("do_analysis")),
        delta_times(blocks.field("delta_times")) {
    for (std::size_t k = 0; k < NBANDS; ++k) band[k] = FieldSlots(blocks.field(std::string("data.") + BAND_LETTERS[k]));
  }
};

struct Names {
  py::str u16{"u16"};
};

// Decodes the block starting at byte `offset` of the packet into `rec` (a whole block record)
// and returns the byte where the next block starts.
std::uint64_t extract_data(const Helpers& h, const Names& names, const BlockPlans& plans, char* rec,
                           const py::object& reader, std::uint64_t offset, const std::uint32_t* time) {
  const py::object& data = reader;
  const auto at = static_cast<std::int64_t>(offset);
  py::int_ zero = py_int(0), sixteen = py_int(16);
  py::int_ at0 = py_int(at), at2 = py_int(at + 2), at4 = py_int(at + 4), at9 = py_int(at + 9), at10 = py_int(at + 10),
           at13 = py_int(at + 13), at14 = py_int(at + 14),
           band_start = py_int(at + static_cast<std::int64_t>(BLOCK_HEADER_BYTES));

  py::object cmd_ctr = vcall_method(names.u16, reader, nullptr, at0, zero, sixteen);
  // The counter is a 16-bit word kept in 8 bits: its low byte stays.
  plans.cmd_ctr.store(rec, Value::from_python(cmd_ctr, "the command counter"));

  plans.zelk_status.store(rec, thr::as_tuple(vcall(h.zelk_status, data, at2), "zelk_status"));
  plans.temperatures.store(rec, thr::as_tuple(vcall(h.temperatures_command, data, at4), "temperatures_command"));
  py::tuple setup = thr::as_tuple(vcall(h.tnr_setup, data, at9), "tnr_setup");
  plans.input_setup.store(rec, thr::as_tuple(vcall(h.input_setup, data, at10), "input_setup"));
  py::tuple analysis = thr::as_tuple(vcall(h.do_analysis, data, at13), "do_analysis");
  plans.delta_times.store(rec, thr::as_tuple(vcall(h.delta_times, data, at14), "delta_times"));

  // Setup items: 0 av, 1 cr, 2 au, 3 d, 4 c, 5 b, 6 a; analysis items 4 and 3: channels 1 and 2.
  py::object cr = thr::item(setup, 1, "tnr_setup"), au = thr::item(setup, 2, "tnr_setup");
  py::object ch1 = thr::item(analysis, 4, "do_analysis"), ch2 = thr::item(analysis, 3, "do_analysis");
  std::array<py::object, NBANDS> flags;
  for (std::size_t k = 0; k < NBANDS; ++k) flags[k] = thr::item(setup, 6 - k, "tnr_setup");
  plans.tnr_setup.store(rec, setup);
  plans.do_analysis.store(rec, analysis);

  // The four bands are packed back to back from byte offset + 30; only the bit offset moves.
  std::uint16_t bit_count = 0;
  for (std::size_t k = 0; k < NBANDS; ++k) {
    py::int_ bits = py_int(bit_count);
    py::object result = vcall(h.extract_band, flags[k], ch1, ch2, au, cr, data, band_start, bits);
    auto [band, next] = thr::as_pair(result, "extract_band");
    plans.band[k].store(rec, band);
    bit_count = thr::unsigned_value<std::uint16_t>(next, "extract_band's bit offset");
  }

  for (std::size_t j = 0; j < 3; ++j) plans.acquisition_time.store(rec, time[j], j);

  // The next block starts at the first even byte at or after the end of the band data.
  std::uint64_t n = offset + BLOCK_HEADER_BYTES + bit_count / 8u;
  if (n % 2 != 0) n += 1;
  return n;
}

// ---------------------------------------------------------------------------------------
// Packet walk

py::array decommute(py::handle group, py::handle task, const char* cnt_param, const std::string& message) {
  const Helpers h;

  // The block counts end the call when they cannot be read: they size the block array. A data
  // parameter that is missing or malformed fails each packet, not the call.
  const thr::PacketWalk walk(group, cnt_param, "PA_THR_TNR_DATA", h.Data, h.print_exception, task);
  const Column<std::int64_t>& counts = walk.counts();
  thr::PacketColumn<std::uint64_t> sizes(group, "PA_THR_TNR_DATA_CNT", 1);

  // Every block takes at least its fixed header, so a packet's data row cannot hold more than
  // this many blocks. A packet announcing more is reported on its own; it reserves no rows, so a
  // lying count cannot size the block array.
  const std::uint64_t capacity = walk.words().ok() ? 2 * walk.words().get().cols() / BLOCK_HEADER_BYTES : 0;
  std::uint64_t number = 0;
  for (std::size_t i = 0; i < walk.size(); ++i) {
    const std::int64_t n = counts.at(i);
    if (n < 0) {
      fail(PyExc_ValueError, format("parameter {0}: packet {1} announces {2} blocks", cnt_param, i, n));
    }
    if (static_cast<std::uint64_t>(n) <= capacity) number += static_cast<std::uint64_t>(n);
  }
  RecordArray blocks = RecordArray::zeros(make_layout(create_dtype()), static_cast<std::size_t>(number));

  const BlockPlans plans(blocks);
  const Names names;
  std::vector<char> scratch(blocks.itemsize());
  std::size_t counter = 0;  // next block row; runs across packets
  const std::string size_error = "Bad decommutation for TNR " + message + " mode\nExpected {0} got {1} bytes";

  walk.run([&](std::size_t i) {
    const std::uint64_t size = sizes.get().at(i);
    const auto nblocks = static_cast<std::uint64_t>(counts.at(i));
    py::object reader = walk.reader(i, size);
    if (nblocks > capacity) {
      fail(PyExc_ValueError, format("parameter {0}: packet {1} announces {2} blocks, more than its {3} data "
                                    "words (PA_THR_TNR_DATA) can hold",
                                    cnt_param, i, nblocks, walk.words().get().cols()));
    }
    const std::uint32_t* time = nullptr;
    std::uint64_t offset = 0;
    for (std::uint64_t n = 0; n < nblocks; ++n) {
      if (time == nullptr) time = walk.time(i);
      // A block is decoded whole before it is stored: a failure leaves its row untouched.
      std::memset(scratch.data(), 0, scratch.size());
      offset = extract_data(h, names, plans, scratch.data(), reader, offset, time);
      std::memcpy(blocks.record(counter), scratch.data(), scratch.size());
      ++counter;
    }
    thr::PacketWalk::check_size(size, offset, PyExc_Exception, size_error.c_str());
  });

  const std::uint64_t records_number = count_records(blocks).first;
  RecordArray records = RecordArray::zeros(make_layout(h.tnr_dtype()), static_cast<std::size_t>(records_number));
  h.filler(records.array());
  thr::survey::fill_records(blocks, records, message == "normal" ? 0 : 1,
                            {TimeService(h.Time), h.DURATION, h.average_nr});
  return records.array();
}

py::array decommute_normal(py::object group, py::object task) {
  return decommute(group, task, "PA_THR_N_BLOCK_CNT", "normal");
}

py::array decommute_burst(py::object group, py::object task) {
  return decommute(group, task, "PA_THR_B_BLOCK_CNT", "burst");
}

}  // namespace

PYBIND11_MODULE(survey_lowband, m) {
  ModuleDef def = ModuleDef::with<Components>(m, "TNR survey spectra (normal and burst mode) into L1 TNR records.");
  def.def("decommute_normal", &decommute_normal, "L1 TNR records of a packet group of TNR normal-mode packets.",
          py::arg("group"), py::arg("task"))
      .def("decommute_burst", &decommute_burst, "L1 TNR records of a packet group of TNR burst-mode packets.",
           py::arg("group"), py::arg("task"))
      .def("band_record_number", &band_record_number,
           "(number, (nA, nB, nC, nD)): the records a block array calls for, one per band flag equal to 1.",
           py::arg("array"))
      .def("create_dtype", &create_dtype, "Layout of one TNR data block record.")
      .def("tnr_setup_dtype", &thr::tnr::tnr_setup_dtype, "Layout of the TNR setup command.")
      .def("delta_times_dtype", &delta_times_dtype, "Layout of the per-band tick counts.")
      .def("channel_dtype", &channel_dtype, "Layout of one channel of a band: agc and 32 autos.")
      .def("band_dtype", &band_dtype, "Layout of one band: two channels and 32x2 cross terms.")
      .def("block_data_dtype", &block_data_dtype, "Layout of the spectra of bands A to D.");

  py::list frequencies;
  for (double f : frequency_list()) frequencies.append(f);
  py::dict bands;
  for (std::size_t k = 0; k < NBANDS; ++k) bands[py::int_(k)] = frequencies[py::slice(NBINS * k, NBINS * (k + 1), 1)];
  def.attr("UINT32_MAX_ENCODING", py::int_(UINT32_MAX_ENCODING))
      .attr("THR_TICK_NSEC", py::int_(THR_TICK_NSEC))
      .attr("TNR_FREQUENCY_LIST", frequencies)
      .attr("TNR_BAND_FREQUENCY", bands);
}
