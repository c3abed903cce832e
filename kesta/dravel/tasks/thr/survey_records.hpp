// TNR survey output records: every band of a block record whose enable flag is 1 becomes one L1
// TNR record (layout tnr_dtype()) with its measurement times.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "errors.hpp"
#include "outside.hpp"
#include "records.hpp"
#include "slots.hpp"
#include "thr_packets.hpp"
#include "time_service.hpp"
#include "tnr_layouts.hpp"

namespace dravel::thr::survey {
namespace py = pybind11;

using tnr::BAND_LETTERS;
using tnr::NBANDS;
constexpr std::int64_t THR_TICK_NSEC = 15258;
constexpr std::size_t NBINS = 32;

// The components the output records need, as looked up for this call.
struct Conversions {
  TimeService times;
  py::object DURATION, average_nr;
};

// Entry k is 3991.785737 Hz x (4^(1/32))^k: 128 steps of a sixteenth of an octave.
inline const std::array<double, 128>& frequency_list() {
  static const std::array<double, 128> list = [] {
    std::array<double, 128> f{};
    const double step = std::pow(4.0, 0.03125);
    for (std::size_t k = 0; k < f.size(); ++k) f[k] = 3991.785737 * std::pow(step, static_cast<double>(k));
    return f;
  }();
  return list;
}

// Band k covers entries 32k to 32k + 31.
inline double band_frequency(std::size_t band, std::size_t bin) { return frequency_list()[NBINS * band + bin]; }

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
      survey_mode, average_nr, auto_cross_status, channel_status, front_end, sensor_config, zelk_status, temperature,
      tnr_band, frequency, agc1, agc2, auto1, auto2, cross_r, cross_i;

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

inline std::uint8_t av_code(const Value& v) {
  // The averaging code sits in an 8-bit field of the block record.
  return static_cast<std::uint8_t>(v.kind == Value::Kind::UInt ? v.u : static_cast<std::uint64_t>(v.i));
}

// The band's 32 frequencies, converted once per call into the field's element type.
inline void write_frequency(char* out, std::size_t k, const RecordFields& r, PerCall& cache) {
  std::vector<char>& rendered = cache.frequency[k];
  if (rendered.empty()) {
    rendered.assign(cache.record_size, 0);
    for (std::size_t j = 0; j < NBINS; ++j) r.frequency.store(rendered.data(), j, Value::of(band_frequency(k, j)));
  }
  r.frequency.copy(out, rendered.data());
}

// Spectra of band k: autos of both channels and the two columns of the cross terms. The block
// side is this module's own uint16 layout; the record side is converted unless it is uint16 too.
inline void write_spectra(char* out, const char* blk, std::size_t k, const BlockFields& b, const RecordFields& r) {
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
inline void set_record(char* out, const char* blk, const py::array& t, std::size_t i, std::size_t k, std::uint8_t mode,
                       const BlockFields& b, const RecordFields& r, PerCall& cache, const Conversions& h) {
  // Tick counts are not extended across blocks: each block's 32-bit counts are used as they are.
  const std::uint64_t ticks = b.ticks[k].load(blk).u;
  const std::int64_t delta_time = static_cast<std::int64_t>(ticks) * THR_TICK_NSEC;

  const std::uint8_t av = av_code(b.av.load(blk));
  std::optional<double>& duration = cache.duration[av][k];
  if (!duration) {
    py::object entry =
        py::reinterpret_steal<py::object>(PyObject_GetItem(h.DURATION.ptr(), py::make_tuple(av, k).ptr()));
    if (!entry) throw py::error_already_set();
    duration = Value::from_python(entry, "DURATION").as_double();
  }
  // The duration is kept at 32-bit precision.
  const double measurement_duration = static_cast<double>(convert::from_double<float>(*duration * 100.0));

  const std::int64_t obt_epoch = h.times.epoch(t).as_int64();
  // 64-bit integer sum (wrapping as 64-bit integers do), then double.
  const auto sum =
      static_cast<std::int64_t>(static_cast<std::uint64_t>(obt_epoch) + static_cast<std::uint64_t>(delta_time));
  const double epoch = static_cast<double>(sum) + 10000000.0 * (measurement_duration * 0.5);
  const double scet0 = h.times.scet(t).as_double();
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
inline void fill_records(const RecordArray& blocks, RecordArray& records, std::uint8_t mode, const Conversions& h) {
  if (records.size() == 0) return;
  const BlockFields b(blocks);
  const RecordFields r(records);
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
      set_record(records.record(counter), blk, py::reinterpret_borrow<py::array>(t), i, k, mode, b, r, *cache, h);
      ++counter;
    }
  }
}

}  // namespace dravel::thr::survey
