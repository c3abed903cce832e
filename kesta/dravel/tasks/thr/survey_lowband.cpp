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
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"
#include "module.hpp"
#include "slots.hpp"
#include "thr_packets.hpp"
#include "time_service.hpp"
#include "tnr_layouts.hpp"

namespace py = pybind11;
using namespace dravel;

namespace {

constexpr std::int64_t THR_TICK_NSEC = 15258;
constexpr std::uint64_t UINT32_MAX_ENCODING = 4294967296ULL;
using thr::tnr::BAND_LETTERS;
using thr::tnr::NBANDS;
constexpr std::size_t NBINS = 32;
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

// Entry k is 3991.785737 Hz x (4^(1/32))^k: 128 steps of a sixteenth of an octave.
const std::array<double, 128>& frequency_list() {
  static const std::array<double, 128> list = [] {
    std::array<double, 128> f{};
    const double step = std::pow(4.0, 0.03125);
    for (std::size_t k = 0; k < f.size(); ++k) f[k] = 3991.785737 * std::pow(step, static_cast<double>(k));
    return f;
  }();
  return list;
}

// Band k covers entries 32k to 32k + 31.
double band_frequency(std::size_t band, std::size_t bin) { return frequency_list()[NBINS * band + bin]; }

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
  py::str obt_to_utc{"obt_to_utc"};
  py::str cuc_to_scet{"cuc_to_scet"};
  py::tuple to_tt2000 = py::make_tuple("to_tt2000");
};

// Decodes the block starting at byte `offset` of the packet into `rec` (a whole block record)
// and returns the byte where the next block starts.
std::uint64_t extract_data(const Helpers& h, const Names& names, const BlockPlans& plans, char* rec,
                           const py::object& reader, std::uint64_t offset, const std::uint32_t* time) {
  const py::object& data = reader;
  const auto at = static_cast<std::int64_t>(offset);
  py::int_ zero = py_int(0), sixteen = py_int(16);
  py::int_ at0 = py_int(at), at2 = py_int(at + 2), at4 = py_int(at + 4), at9 = py_int(at + 9),
           at10 = py_int(at + 10), at13 = py_int(at + 13), at14 = py_int(at + 14),
           band_start = py_int(at + static_cast<std::int64_t>(BLOCK_HEADER_BYTES));

  py::object cmd_ctr = vcall_method(names.u16, reader, nullptr, at0, zero, sixteen);
  // The counter is a 16-bit word kept in 8 bits: its low byte stays.
  plans.cmd_ctr.store(rec, Value::from_python(cmd_ctr, "the command counter"));

  plans.zelk_status.store(rec, thr::as_tuple(vcall(h.zelk_status, data, at2), "zelk_status"));
  plans.temperatures.store(
      rec, thr::as_tuple(vcall(h.temperatures_command, data, at4), "temperatures_command"));
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
// Output records

// The block record fields an output record is made of.
struct BlockFields {
  FieldSlots acquisition_time, zelk_status, temperatures;
  Field av, au, cr;
  thr::CommandFields commands;
  std::array<Field, NBANDS> flag, ticks, agc1, agc2, auto1, auto2, cross;

  explicit BlockFields(const RecordArray& b)
      : acquisition_time(b.field("acquisition_time")),
        zelk_status(b.field("zelk_status")),
        temperatures(b.field("temperatures")),
        av(b.field("tnr_setup.av")),
        au(b.field("tnr_setup.au")),
        cr(b.field("tnr_setup.cr")),
        commands(b.layout()) {
    for (std::size_t k = 0; k < NBANDS; ++k) {
      const std::string L = BAND_LETTERS[k];
      flag[k] = b.field("tnr_setup." + L);
      ticks[k] = b.field("delta_times." + L);
      agc1[k] = b.field("data." + L + ".ch1.agc");
      agc2[k] = b.field("data." + L + ".ch2.agc");
      auto1[k] = b.field("data." + L + ".ch1.autos");
      auto2[k] = b.field("data." + L + ".ch2.autos");
      cross[k] = b.field("data." + L + ".cross");
    }
  }
};

// The L1 fields written, resolved in the layout tnr_dtype() gave for this call.
struct RecordFields {
  FieldSlots epoch, scet, sweep_num, acquisition_time, synchro_flag, measurement_duration, ticks_nr, delta_time,
      survey_mode, average_nr, auto_cross_status, channel_status, front_end, sensor_config, zelk_status,
      temperature, tnr_band, frequency, agc1, agc2, auto1, auto2, cross_r, cross_i;

  explicit RecordFields(const RecordArray& r)
      : epoch(r.field("epoch")),
        scet(r.field("scet")),
        sweep_num(r.field("sweep_num")),
        acquisition_time(r.field("acquisition_time")),
        synchro_flag(r.field("synchro_flag")),
        measurement_duration(r.field("measurement_duration")),
        ticks_nr(r.field("ticks_nr")),
        delta_time(r.field("delta_time")),
        survey_mode(r.field("survey_mode")),
        average_nr(r.field("average_nr")),
        auto_cross_status(r.field("auto_cross_status")),
        channel_status(r.field("channel_status")),
        front_end(r.field("front_end")),
        sensor_config(r.field("sensor_config")),
        zelk_status(r.field("zelk_status")),
        temperature(r.field("temperature")),
        tnr_band(r.field("tnr_band")),
        frequency(r.field("frequency")),
        agc1(r.field("agc1")),
        agc2(r.field("agc2")),
        auto1(r.field("auto1")),
        auto2(r.field("auto2")),
        cross_r(r.field("cross_r")),
        cross_i(r.field("cross_i")) {
    for (const FieldSlots* scalar : {&epoch, &scet, &sweep_num, &synchro_flag, &measurement_duration, &ticks_nr,
                                   &delta_time, &survey_mode, &average_nr, &front_end, &tnr_band, &agc1, &agc2}) {
      scalar->expect(1);
    }
    for (const FieldSlots* pair : {&acquisition_time, &auto_cross_status, &channel_status, &sensor_config}) {
      pair->expect(2);
    }
    for (const FieldSlots* bins : {&frequency, &auto1, &auto2, &cross_r, &cross_i}) bins->expect(NBINS);
  }
};

// Values looked up once per call and per key: DURATION by (av, band), average_nr by av.
struct PerCall {
  std::array<std::array<std::optional<double>, NBANDS>, 256> duration;
  std::array<std::optional<Value>, 256> average;
  std::array<std::vector<char>, NBANDS> frequency;  // a record with only `frequency` written
  std::size_t record_size = 0;
};

std::uint8_t av_code(const Value& v) {
  // The averaging code sits in an 8-bit field of the block record.
  return static_cast<std::uint8_t>(v.kind == Value::Kind::UInt ? v.u : static_cast<std::uint64_t>(v.i));
}

// The band's 32 frequencies, converted once per call into the field's element type.
void write_frequency(char* out, std::size_t k, const RecordFields& r, PerCall& cache) {
  std::vector<char>& rendered = cache.frequency[k];
  if (rendered.empty()) {
    rendered.assign(cache.record_size, 0);
    for (std::size_t j = 0; j < NBINS; ++j) r.frequency.store(rendered.data(), j, Value::of(band_frequency(k, j)));
  }
  r.frequency.copy(out, rendered.data());
}

// Spectra of band k: autos of both channels and the two columns of the cross terms. The block
// side is this module's own uint16 layout; the record side is converted unless it is uint16 too.
void write_spectra(char* out, const char* blk, std::size_t k, const BlockFields& b, const RecordFields& r) {
  const char* a1 = b.auto1[k].holds<std::uint16_t>() ? blk + b.auto1[k].offset : nullptr;
  const char* a2 = b.auto2[k].holds<std::uint16_t>() ? blk + b.auto2[k].offset : nullptr;
  const char* cr = b.cross[k].holds<std::uint16_t>() ? blk + b.cross[k].offset : nullptr;
  char* d1 = r.auto1.packed<std::uint16_t>(out, NBINS);
  char* d2 = r.auto2.packed<std::uint16_t>(out, NBINS);
  char* dr = r.cross_r.packed<std::uint16_t>(out, NBINS);
  char* di = r.cross_i.packed<std::uint16_t>(out, NBINS);
  if (a1 && a2 && cr && d1 && d2 && dr && di && b.auto1[k].count == NBINS && b.auto2[k].count == NBINS &&
      b.cross[k].count == 2 * NBINS) {
    std::memcpy(d1, a1, NBINS * sizeof(std::uint16_t));
    std::memcpy(d2, a2, NBINS * sizeof(std::uint16_t));
    for (std::size_t j = 0; j < NBINS; ++j) {
      std::memcpy(dr + j * 2, cr + j * 4, 2);
      std::memcpy(di + j * 2, cr + j * 4 + 2, 2);
    }
    return;
  }
  for (std::size_t j = 0; j < NBINS; ++j) {
    r.auto1.store(out, j, b.auto1[k].load(blk, j));
    r.auto2.store(out, j, b.auto2[k].load(blk, j));
    r.cross_r.store(out, j, b.cross[k].load(blk, 2 * j));
    r.cross_i.store(out, j, b.cross[k].load(blk, 2 * j + 1));
  }
}

// Writes output record `out` from block record `blk` (row i) for band index k.
void set_record(char* out, const char* blk, const py::array& t, std::size_t i, std::size_t k, std::uint8_t mode,
                const BlockFields& b,
                const RecordFields& r, PerCall& cache, const Helpers& h, const Names& names) {
  // Tick counts are not extended across blocks: each block's 32-bit counts are used as they are.
  const std::uint64_t ticks = b.ticks[k].load(blk).u;
  const std::int64_t delta_time = static_cast<std::int64_t>(ticks) * THR_TICK_NSEC;

  const std::uint8_t av = av_code(b.av.load(blk));
  std::optional<double>& duration = cache.duration[av][k];
  if (!duration) {
    py::object entry = py::reinterpret_steal<py::object>(
        PyObject_GetItem(h.DURATION.ptr(), py::make_tuple(av, k).ptr()));
    if (!entry) throw py::error_already_set();
    duration = Value::from_python(entry, "DURATION").as_double();
  }
  // The duration is kept at 32-bit precision.
  const double measurement_duration = static_cast<double>(convert::from_double<float>(*duration * 100.0));

  py::object service = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(h.Time.ptr()));
  if (!service) throw py::error_already_set();
  const std::int64_t obt_epoch =
      TimeService::one(vcall_method(names.obt_to_utc, service, names.to_tt2000.ptr(), t, py::handle(Py_True)),
                       "obt_to_utc").as_int64();
  // 64-bit integer sum (wrapping as 64-bit integers do), then double.
  const auto sum = static_cast<std::int64_t>(static_cast<std::uint64_t>(obt_epoch) +
                                             static_cast<std::uint64_t>(delta_time));
  const double epoch = static_cast<double>(sum) + 10000000.0 * (measurement_duration * 0.5);
  const double scet0 =
      TimeService::one(vcall_method(names.cuc_to_scet, h.Time, nullptr, t), "cuc_to_scet").as_double();
  const double scet = scet0 + static_cast<double>(delta_time) / 1000000000.0 + measurement_duration * 0.5;

  r.epoch.store(out, 0, Value::of(epoch));
  r.scet.store(out, 0, Value::of(scet));
  r.sweep_num.store(out, 0, Value::of(static_cast<std::uint64_t>(i)));
  r.acquisition_time.store(out, 0, b.acquisition_time.load(blk, 0));
  r.acquisition_time.store(out, 1, b.acquisition_time.load(blk, 1));
  r.synchro_flag.store(out, 0, b.acquisition_time.load(blk, 2));
  r.measurement_duration.store(out, 0, Value::of(measurement_duration * 10000.0));
  r.ticks_nr.store(out, 0, Value::of(ticks));
  r.delta_time.store(out, 0, Value::of(static_cast<double>(delta_time) / 1000.0));
  r.survey_mode.store(out, 0, Value::of(static_cast<std::uint64_t>(mode)));

  std::optional<Value>& average = cache.average[av];
  if (!average) {
    py::int_ code = py_int(av);
    average = Value::from_python(vcall(h.average_nr, code), "average_nr");
  }
  r.average_nr.store(out, 0, *average);

  r.auto_cross_status.store(out, 0, b.au.load(blk));
  r.auto_cross_status.store(out, 1, b.cr.load(blk));
  r.channel_status.store(out, 0, b.commands.ch1.load(blk));
  r.channel_status.store(out, 1, b.commands.ch2.load(blk));
  r.front_end.store(out, 0, b.commands.fe.load(blk));
  r.sensor_config.store(out, 0, b.commands.sensor_1.load(blk));
  r.sensor_config.store(out, 1, b.commands.sensor_2.load(blk));
  r.zelk_status.expect(b.zelk_status.size());
  for (std::size_t j = 0; j < b.zelk_status.size(); ++j) r.zelk_status.store(out, j, b.zelk_status.load(blk, j));
  r.temperature.expect(b.temperatures.size());
  for (std::size_t j = 0; j < b.temperatures.size(); ++j) r.temperature.store(out, j, b.temperatures.load(blk, j));
  r.tnr_band.store(out, 0, Value::of(static_cast<std::uint64_t>(k)));
  write_frequency(out, k, r, cache);
  r.agc1.store(out, 0, b.agc1[k].load(blk));
  r.agc2.store(out, 0, b.agc2[k].load(blk));
  write_spectra(out, blk, k, b, r);
}

// One output record per band flag equal to 1, in block order and band order A to D.
void fill_records(const RecordArray& blocks, RecordArray& records, const std::string& message, const Helpers& h) {
  if (records.size() == 0) return;
  const std::uint8_t mode = message == "normal" ? 0 : 1;
  const BlockFields b(blocks);
  const RecordFields r(records);
  const Names names;
  auto cache = std::make_unique<PerCall>();
  cache->record_size = records.itemsize();
  std::size_t counter = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const char* blk = blocks.record(i);
    py::object t;  // the block's [coarse, fine], one array for the conversions of all its records
    for (std::size_t k = 0; k < NBANDS; ++k) {
      if (!b.flag[k].load(blk).equals_one()) continue;
      if (!t) {
        t = TimeService::shared_pair(static_cast<std::uint32_t>(b.acquisition_time.load(blk, 0).u),
                                     static_cast<std::uint32_t>(b.acquisition_time.load(blk, 1).u));
      }
      set_record(records.record(counter), blk, py::reinterpret_borrow<py::array>(t), i, k, mode, b, r, *cache, h, names);
      ++counter;
    }
  }
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
                                    "words (PA_THR_TNR_DATA) can hold", cnt_param, i, nblocks,
                                    walk.words().get().cols()));
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
  fill_records(blocks, records, message, h);
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
