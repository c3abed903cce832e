// HFR calibration: every packet becomes one packet record (command words and the values of nine
// calibration levels of both channels and both bands), then every enabled band of every packet
// becomes one L1 HFR record per calibration level and frequency step.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "calibration.hpp"
#include "module.hpp"

namespace py = pybind11;
using namespace dravel;
using namespace dravel::thr;

namespace {

using calibration::NLEVELS;
constexpr std::size_t NBANDS = 2;
constexpr std::size_t NCHANNELS = 2;
constexpr std::size_t MAX_STEPS = 512;  // values per band, channel and level
constexpr const char* BAND_NAMES[NBANDS] = {"hf1", "hf2"};
constexpr const char* STEP_NAMES[NBANDS] = {"hf1_step", "hf2_step"};
// Byte where the channel values start, after the header.
constexpr std::uint64_t HEADER_BYTES = 14;

struct ModuleComponents : calibration::CommonComponents {
  Binding hfr_setup{"kesta.dravel.tasks.thr.hfr", "hfr_setup"};
  Binding hfr_sweep_setup{"kesta.dravel.tasks.thr.hfr", "hfr_sweep_setup"};
  Binding extract_band{"kesta.dravel.tasks.thr.hfr", "extract_band"};
  Binding compute_frequency{"kesta.dravel.tasks.thr.hfr", "compute_frequency"};
  Binding hfr_dtype{"kesta.dravel.tasks.thr.hfr", "hfr_dtype"};
};

PyObject* decom_error = nullptr;  // HFRCalibrationDecomError, made when the module loads

// ---- layouts -------------------------------------------------------------------------------

py::list setup_dtype() {
  return scalar_entries(
      {{"sw", "uint8"}, {"initial_frequency", "uint16"}, {"hf2", "uint8"}, {"hf1", "uint8"}, {"av", "uint8"}});
}

py::list hfr_sweep_setup_dtype() {
  return scalar_entries({{"hf2_step", "uint16"}, {"hf2_size", "uint8"}, {"hf1_step", "uint16"}, {"hf1_size", "uint8"}});
}

py::list channel_dtype() {
  py::list l;
  l.append(entry("hf1", "uint16", MAX_STEPS));
  l.append(entry("hf2", "uint16", MAX_STEPS));
  return l;
}

py::list block_data_dtype() {
  py::list l;
  for (std::size_t k = 0; k < NLEVELS; ++k) {
    py::list channels;
    channels.append(entry("ch1", channel_dtype()));
    channels.append(entry("ch2", channel_dtype()));
    l.append(py::make_tuple(calibration::level_name(k), channels));
  }
  return l;
}

py::list create_dtype() {
  return calibration::packet_layout(bindings<ModuleComponents>(), entry("hfr_setup", setup_dtype()),
                                    {entry("hfr_sweep", hfr_sweep_setup_dtype())}, block_data_dtype());
}

// ---- packet records ------------------------------------------------------------------------

// The record count of packet records: 9 x step count for each band whose flag is 1. Any layout
// with the packet record's setup and sweep fields will do.
struct RecordCount {
  Field flag[NBANDS], steps[NBANDS];

  explicit RecordCount(const py::dtype& layout)
      : flag{Field::resolve(layout, "hfr_setup.hf1"), Field::resolve(layout, "hfr_setup.hf2")},
        steps{Field::resolve(layout, "hfr_sweep.hf1_step"), Field::resolve(layout, "hfr_sweep.hf2_step")} {}

  std::uint64_t operator()(const RecordArray& packets) const {
    std::uint64_t number = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const char* rec = packets.record(i);
      for (std::size_t b = 0; b < NBANDS; ++b) {
        if (flag[b].load(rec).equals_one()) number += NLEVELS * convert::from<std::uint64_t>(steps[b].load(rec));
      }
    }
    return number;
  }
};

// The steps of the HFR calibration decommutation (see calibration::decommute).
struct HfrCalibration {
  using Components = ModuleComponents;
  static constexpr std::size_t NBANDS = ::NBANDS;
  static constexpr calibration::PacketParams params{"PA_THR_HFR_DATA_CNT", "PA_THR_HFR_DATA"};
  static PyObject* error() { return decom_error; }
  static py::list create_dtype() { return ::create_dtype(); }

  struct Helpers : calibration::CommonHelpers {
    py::object hfr_setup, hfr_sweep_setup, extract_band, compute_frequency, hfr_dtype;
    explicit Helpers(const ModuleComponents& c)
        : CommonHelpers(c),
          hfr_setup(c.hfr_setup.get()),
          hfr_sweep_setup(c.hfr_sweep_setup.get()),
          extract_band(c.extract_band.get()),
          compute_frequency(c.compute_frequency.get()),
          hfr_dtype(c.hfr_dtype.get()) {}
  };
  static py::object l1_layout(const Helpers& h) { return h.hfr_dtype(); }

  // Packet record fields beyond the common header.
  struct PacketFields {
    calibration::PacketHeader header;
    RecordCount count;
    FieldSlots setup, sweep;
    Field initial_frequency, av, hf1_size, hf2_size, flag[NBANDS], steps[NBANDS];
    FieldSlots channel_slots[NLEVELS][NCHANNELS];
    Field values[NLEVELS][NCHANNELS][NBANDS];
    std::size_t band_slot[NBANDS];  // where each band's values start among a channel's slots

    explicit PacketFields(const py::dtype& layout)
        : header(layout),
          count(layout),
          setup(Field::resolve(layout, "hfr_setup")),
          sweep(Field::resolve(layout, "hfr_sweep")),
          initial_frequency(Field::resolve(layout, "hfr_setup.initial_frequency")),
          av(Field::resolve(layout, "hfr_setup.av")),
          hf1_size(Field::resolve(layout, "hfr_sweep.hf1_size")),
          hf2_size(Field::resolve(layout, "hfr_sweep.hf2_size")) {
      for (std::size_t b = 0; b < NBANDS; ++b) {
        flag[b] = Field::resolve(layout, std::string("hfr_setup.") + BAND_NAMES[b]);
        steps[b] = Field::resolve(layout, std::string("hfr_sweep.") + STEP_NAMES[b]);
      }
      const Field data = Field::resolve(layout, "data");
      for (std::size_t k = 0; k < NLEVELS; ++k) {
        const Field& level = calibration::child(data, calibration::level_name(k));
        for (std::size_t ch = 0; ch < NCHANNELS; ++ch) {
          const Field& channel = calibration::child(level, ch == 0 ? "ch1" : "ch2");
          channel_slots[k][ch] = FieldSlots(channel);
          for (std::size_t b = 0; b < NBANDS; ++b) values[k][ch][b] = calibration::child(channel, BAND_NAMES[b]);
        }
      }
      for (std::size_t b = 0; b < NBANDS; ++b) band_slot[b] = channel_slots[0][0].index_of(values[0][0][b]);
    }

    // The channel slots of band b that output records are written from: the packet's steps of
    // the band when its flag is 1 (more steps than a channel holds end the call in set_record).
    SlotRange used_values(const char* rec, std::size_t b) const {
      std::uint64_t n = 0;
      if (flag[b].load(rec).equals_one()) {
        n = std::min<std::uint64_t>(convert::from<std::uint64_t>(steps[b].load(rec)), values[0][0][b].count);
      }
      return {band_slot[b], band_slot[b] + static_cast<std::size_t>(n)};
    }
  };

  // One packet's helper results, kept from decoding until the packet record is written.
  struct Decoded {
    calibration::HeaderValues header;
    py::object setup, sweep;
    std::array<py::object, NLEVELS * NCHANNELS> channels;
  };

  // Calls the helpers on one packet's reader (offset 0); returns the consumed size in bytes.
  static std::uint64_t extract_data(const Helpers& h, const py::object& data, Decoded& d) {
    d.header.decode(h, data, [&] { d.setup = calibration::command(vcall(h.hfr_setup, data, py_int(4)), "hfr_setup"); });
    d.sweep = calibration::command(vcall(h.hfr_sweep_setup, data, py_int(8)), "hfr_sweep_setup");
    const std::uint16_t hf1_steps =
        unsigned_value<std::uint16_t>(calibration::item_of(d.sweep, 2, "hfr_sweep_setup"), "the HF1 step count");
    const std::uint16_t hf2_steps =
        unsigned_value<std::uint16_t>(calibration::item_of(d.sweep, 0, "hfr_sweep_setup"), "the HF2 step count");
    d.header.decode_analysis(h, data, 13);

    // Channel flags ch1, ch2 are analysis items 4 and 3; band flags hf1, hf2 setup items 3 and 2.
    const py::object channel_flags[NCHANNELS] = {calibration::item_of(d.header.do_analysis, 4, "do_analysis"),
                                                 calibration::item_of(d.header.do_analysis, 3, "do_analysis")};
    const py::object hf1 = calibration::item_of(d.setup, 3, "hfr_setup");
    const py::object hf2 = calibration::item_of(d.setup, 2, "hfr_setup");
    const py::int_ start = py_int(HEADER_BYTES);
    const py::int_ steps[NBANDS] = {py_int(hf1_steps), py_int(hf2_steps)};

    // All 18 channel blocks are read whatever the flags; only the bit offset moves on.
    std::uint32_t bit_count = 0;
    for (std::size_t k = 0; k < NLEVELS; ++k) {
      for (std::size_t ch = 0; ch < NCHANNELS; ++ch) {
        auto [value, next] = as_pair(
            vcall(h.extract_band, channel_flags[ch], hf1, hf2, steps[0], steps[1], data, start, py_int(bit_count)),
            "extract_band");
        d.channels[k * NCHANNELS + ch] = value;
        bit_count = unsigned_value<std::uint32_t>(next, "extract_band's bit offset");
      }
    }
    return calibration::consumed_size(0, HEADER_BYTES, bit_count);
  }

  static void store_packet(const PacketFields& f, char* rec, const Decoded& d, const std::uint32_t* time) {
    f.header.temperature_pcb.store(rec, Value::from_python(d.header.temperature_pcb, "temperature_pcb"));
    f.header.voltages.store(rec, d.header.voltages);
    f.setup.store(rec, d.setup);
    f.header.input_setup.store(rec, d.header.input_setup);
    f.sweep.store(rec, d.sweep);
    f.header.do_analysis.store(rec, d.header.do_analysis);
    // Channel values are checked whole, but only the steps the output records take are converted.
    const SlotRange used[NBANDS] = {f.used_values(rec, 0), f.used_values(rec, 1)};
    for (std::size_t k = 0; k < NLEVELS; ++k) {
      for (std::size_t ch = 0; ch < NCHANNELS; ++ch) {
        f.channel_slots[k][ch].store(rec, d.channels[k * NCHANNELS + ch], used);
      }
    }
    f.header.store_time(rec, time);
  }

  static std::uint64_t record_number(const PacketFields& f, const RecordArray& packets) { return f.count(packets); }

  // ---- output records ------------------------------------------------------------------------

  struct OutputFields {
    calibration::CommonOutput common;
    Field frequency, hfr_band, agc1, agc2;

    explicit OutputFields(const RecordArray& records)
        : common(records),
          frequency(records.field("frequency")),
          hfr_band(records.field("hfr_band")),
          agc1(records.field("agc1")),
          agc2(records.field("agc2")) {}
  };

  // Writes the records of band `band` of packet record `i` from position `counter`, level by
  // level and step by step; returns the next free position.
  static std::uint64_t set_record(RecordArray& records, const OutputFields& o, const RecordArray& packets,
                                  const PacketFields& f, const Helpers& h, const TimeService& times,
                                  const py::object& cuc_to_scet, std::uint64_t counter, std::size_t i,
                                  std::size_t band) {
    const char* packet = packets.record(i);
    const std::uint64_t nsteps = convert::from<std::uint64_t>(f.steps[band].load(packet));
    const std::size_t room = f.values[0][0][band].count;
    if (nsteps > room) {
      fail(PyExc_IndexError, format("packet {0}: band {1} announces {2} frequency steps in its sweep setup "
                                    "(PA_THR_HFR_DATA), but a calibration level holds {3} values per channel",
                                    i, BAND_NAMES[band], nsteps, room));
    }
    const calibration::PacketValues p(f.header, packet);
    const py::array pair = TimeService::shared_pair(p.coarse, p.fine);
    const Value epoch = calibration::PacketValues::epoch(times, pair);
    const Value av = f.av.load(packet);
    // compute_frequency always gets HF1's size and step count and HF2's size; the band comes last.
    const py::object initial_frequency = f.initial_frequency.load(packet).to_python();
    const py::object hf1_size = f.hf1_size.load(packet).to_python();
    const py::object hf1_step = f.steps[0].load(packet).to_python();
    const py::object hf2_size = f.hf2_size.load(packet).to_python();
    const py::str band_name(BAND_NAMES[band]);

    for (std::size_t k = 0; k < NLEVELS; ++k) {
      for (std::size_t j = 0; j < nsteps; ++j) {
        char* rec = records.record(counter);
        calibration::store_common(o.common, rec, p, epoch, calibration::scet_of(cuc_to_scet, pair), av, k);
        const std::uint64_t frequency = unsigned_value<std::uint64_t>(
            vcall(h.compute_frequency, initial_frequency, py_int(static_cast<std::int64_t>(j)), hf1_size, hf1_step,
                  hf2_size, band_name),
            "compute_frequency");
        o.frequency.store(rec, frequency);
        o.hfr_band.store(rec, band);
        o.agc1.store(rec, f.values[k][0][band].load(packet, j));
        o.agc2.store(rec, f.values[k][1][band].load(packet, j));
        ++counter;
      }
    }
    return counter;
  }
};

py::array decommute(py::object group, py::object task) { return calibration::decommute<HfrCalibration>(group, task); }

// The record count of a packet array (any array with the packet record's setup and sweep fields).
py::object band_record_number(py::object array) {
  py::array packets = numpy().require(numpy().asarray(array), py::none(), "CA");
  packets = packets.attr("reshape")(-1);
  const RecordArray view(packets);
  return py::module_::import("numpy").attr("uint64")(RecordCount(view.layout())(view));
}

}  // namespace

PYBIND11_MODULE(refcheck_highband, m) {
  ModuleDef def = ModuleDef::with<ModuleComponents>(
      m, "HFR calibration packets into L1 HFR records: one per enabled band, level and frequency step.");
  const ModuleComponents& c = bindings<ModuleComponents>();
  def.def("decommute", &decommute,
          "L1 HFR records of a group of HFR calibration packets: one per enabled band, calibration level and "
          "frequency step, in packet, band, level and step order. A packet that fails to decode is reported to "
          "the task and skipped.",
          py::arg("group"), py::arg("task"))
      .def("band_record_number", &band_record_number, "Get the number of records for each band.", py::arg("array"))
      .def("create_dtype", &create_dtype, "Create dtype of numpy for the special packet.")
      .def("setup_dtype", &setup_dtype, "The HFR setup command: sw, initial_frequency, hf2, hf1, av.")
      .def("hfr_sweep_setup_dtype", &hfr_sweep_setup_dtype,
           "The HFR sweep setup command: hf2_step, hf2_size, hf1_step, hf1_size.")
      .def("channel_dtype", &channel_dtype, "One channel of a calibration level: 512 values of each band.")
      .def("block_data_dtype", &block_data_dtype, "Calibration values: levels \"0\" to \"8\", each with ch1 and ch2.")
      .show_components([&c] {
        auto shown = c.shown();
        shown.insert(shown.end(), {{"hfr_setup", &c.hfr_setup},
                                   {"hfr_sweep_setup", &c.hfr_sweep_setup},
                                   {"extract_band", &c.extract_band},
                                   {"compute_frequency", &c.compute_frequency},
                                   {"hfr_dtype", &c.hfr_dtype}});
        return shown;
      }());
  decom_error = def.error_class("HFRCalibrationDecomError", "Error management for HFR calibration.");
}
