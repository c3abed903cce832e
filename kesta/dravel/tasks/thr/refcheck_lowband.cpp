// TNR calibration: every packet becomes one packet record (command words and the spectra of nine
// calibration levels of the four bands), then every enabled band of every packet becomes nine L1
// TNR records, one per calibration level.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "calibration.hpp"
#include "module.hpp"
#include "tnr_layouts.hpp"

namespace py = pybind11;
using namespace dravel;
using namespace dravel::thr;

namespace {

using calibration::NLEVELS;
using tnr::BAND_LETTERS;
constexpr std::size_t NBINS = 8;  // frequency bins of a calibration band
// Byte where the band spectra start, after the header.
constexpr std::uint64_t HEADER_BYTES = 10;

PyObject* decom_error = nullptr;  // TNRCalibrationDecomError, made when the module loads

struct ModuleComponents : calibration::CommonComponents {
  Binding tnr_setup{"kesta.dravel.tasks.thr.tnr", "tnr_setup"};
  Binding extract_band{"kesta.dravel.tasks.thr.tnr", "extract_calibration_band"};
  Binding tnr_dtype{"kesta.dravel.tasks.thr.tnr", "tnr_dtype"};
};

// ---- layouts -------------------------------------------------------------------------------

py::list channel_dtype() { return tnr::channel_dtype(NBINS); }
py::list band_dtype() { return tnr::band_dtype(NBINS); }

py::list block_data_dtype() {
  py::list l;
  for (std::size_t k = 0; k < NLEVELS; ++k)
    l.append(py::make_tuple(calibration::level_name(k), tnr::bands_dtype(NBINS)));
  return l;
}

py::list create_dtype() {
  return calibration::packet_layout(bindings<ModuleComponents>(), entry("tnr_setup", tnr::tnr_setup_dtype()), {},
                                    block_data_dtype());
}

// The steps of the TNR calibration decommutation (see calibration::decommute).
struct TnrCalibration {
  using Components = ModuleComponents;
  static constexpr std::size_t NBANDS = tnr::NBANDS;
  static constexpr calibration::PacketParams params{"PA_THR_TNR_DATA_CNT", "PA_THR_TNR_DATA"};
  static PyObject* error() { return decom_error; }
  static py::list create_dtype() { return ::create_dtype(); }

  struct Helpers : calibration::CommonHelpers {
    py::object tnr_setup, extract_band, tnr_dtype;
    explicit Helpers(const ModuleComponents& c)
        : CommonHelpers(c),
          tnr_setup(c.tnr_setup.get()),
          extract_band(c.extract_band.get()),
          tnr_dtype(c.tnr_dtype.get()) {}
  };
  static py::object l1_layout(const Helpers& h) { return h.tnr_dtype(); }

  // ---- packet records ----

  // Packet record fields beyond the common header.
  struct PacketFields {
    calibration::PacketHeader header;
    FieldSlots setup;
    Field av, au, cr, flag[NBANDS];
    FieldSlots band_slots[NLEVELS][NBANDS];
    Field agc1[NLEVELS][NBANDS], agc2[NLEVELS][NBANDS];
    Field autos1[NLEVELS][NBANDS], autos2[NLEVELS][NBANDS];
    Field cross[NLEVELS][NBANDS];

    explicit PacketFields(const py::dtype& layout)
        : header(layout),
          setup(Field::resolve(layout, "tnr_setup")),
          av(Field::resolve(layout, "tnr_setup.av")),
          au(Field::resolve(layout, "tnr_setup.au")),
          cr(Field::resolve(layout, "tnr_setup.cr")) {
      for (std::size_t b = 0; b < NBANDS; ++b)
        flag[b] = Field::resolve(layout, std::string("tnr_setup.") + BAND_LETTERS[b]);
      const Field data = Field::resolve(layout, "data");
      for (std::size_t k = 0; k < NLEVELS; ++k) {
        const Field& level = calibration::child(data, calibration::level_name(k));
        for (std::size_t b = 0; b < NBANDS; ++b) {
          const Field& band = calibration::child(level, BAND_LETTERS[b]);
          const Field& ch1 = calibration::child(band, "ch1");
          const Field& ch2 = calibration::child(band, "ch2");
          band_slots[k][b] = FieldSlots(band);
          agc1[k][b] = calibration::child(ch1, "agc");
          agc2[k][b] = calibration::child(ch2, "agc");
          autos1[k][b] = calibration::child(ch1, "autos");
          autos2[k][b] = calibration::child(ch2, "autos");
          cross[k][b] = calibration::child(band, "cross");
        }
      }
    }
  };

  // One packet's helper results, kept from decoding until the packet record is written.
  struct Decoded {
    calibration::HeaderValues header;
    py::object setup;
    std::array<py::object, NLEVELS * NBANDS> bands;
  };

  // Calls the helpers on one packet's reader (offset 0); returns the consumed size in bytes.
  static std::uint64_t extract_data(const Helpers& h, const py::object& data, Decoded& d) {
    d.header.decode(h, data, [&] { d.setup = calibration::command(vcall(h.tnr_setup, data, py_int(5)), "tnr_setup"); });
    d.header.decode_analysis(h, data, 9);

    // Band flags a, b, c, d are setup items 6, 5, 4, 3.
    py::object flags[NBANDS];
    for (std::size_t b = 0; b < NBANDS; ++b) flags[b] = calibration::item_of(d.setup, 6 - b, "tnr_setup");
    const py::object ch1 = calibration::item_of(d.header.do_analysis, 4, "do_analysis");
    const py::object ch2 = calibration::item_of(d.header.do_analysis, 3, "do_analysis");
    const py::object au = calibration::item_of(d.setup, 2, "tnr_setup");
    const py::object cr = calibration::item_of(d.setup, 1, "tnr_setup");
    const py::int_ start = py_int(HEADER_BYTES);

    // All 36 bands are read whatever the flags; only the bit offset moves on.
    std::uint16_t bit_count = 0;
    for (std::size_t k = 0; k < NLEVELS; ++k) {
      for (std::size_t b = 0; b < NBANDS; ++b) {
        auto [value, next] = as_pair(vcall(h.extract_band, flags[b], ch1, ch2, au, cr, data, start, py_int(bit_count)),
                                     "extract_calibration_band");
        d.bands[k * NBANDS + b] = value;
        bit_count = unsigned_value<std::uint16_t>(next, "extract_calibration_band's bit offset");
      }
    }
    return calibration::consumed_size(0, HEADER_BYTES, bit_count);
  }

  static void store_packet(const PacketFields& f, char* rec, const Decoded& d, const std::uint32_t* time) {
    d.header.store(f.header, rec);
    f.setup.store(rec, d.setup);
    for (std::size_t k = 0; k < NLEVELS; ++k) {
      for (std::size_t b = 0; b < NBANDS; ++b) f.band_slots[k][b].store(rec, d.bands[k * NBANDS + b]);
    }
    f.header.store_time(rec, time);
  }

  // Output records: nine per band whose flag is 1. A flag of any other value adds nothing.
  static std::uint64_t record_number(const PacketFields& f, const RecordArray& packets) {
    std::uint64_t number = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const char* rec = packets.record(i);
      for (const Field& flag : f.flag) {
        if (flag.load(rec).equals_one()) number += NLEVELS;
      }
    }
    return number;
  }

  // ---- output records ----

  struct OutputFields {
    calibration::CommonOutput common;
    Field auto_cross_status, tnr_band, agc1, agc2, auto1, auto2, cross_r, cross_i;
    bool spectra_are_uint16 = true;

    explicit OutputFields(const RecordArray& records)
        : common(records),
          auto_cross_status(records.field("auto_cross_status")),
          tnr_band(records.field("tnr_band")),
          agc1(records.field("agc1")),
          agc2(records.field("agc2")),
          auto1(records.field("auto1")),
          auto2(records.field("auto2")),
          cross_r(records.field("cross_r")),
          cross_i(records.field("cross_i")) {
      // The packet record's spectra are uint16; when the output's are too (with room for 8 bins),
      // bins are copied as they are.
      for (const Field* field : {&auto1, &auto2, &cross_r, &cross_i}) {
        spectra_are_uint16 = spectra_are_uint16 && field->holds<std::uint16_t>() && field->count >= NBINS;
      }
    }
  };

  // Bins 0 to 7 of a packet record's spectrum (elements first, first + step, ...) into elements
  // 0 to 7 of an output field, both uint16 in host order (checked once per call).
  static void copy_bins(const Field& from, const char* packet, std::size_t first, std::size_t step, const Field& to,
                        char* rec) {
    for (std::size_t n = 0; n < NBINS; ++n) {
      std::memcpy(rec + to.offset + n * to.stride, packet + from.offset + (first + n * step) * from.stride,
                  sizeof(std::uint16_t));
    }
  }

  // Writes the nine records of band `band` of packet record `i` from position `counter`; returns
  // the next free position.
  static std::uint64_t set_record(RecordArray& records, const OutputFields& o, const RecordArray& packets,
                                  const PacketFields& f, const Helpers&, const TimeService& times,
                                  const py::object& cuc_to_scet, std::uint64_t counter, std::size_t i,
                                  std::size_t band) {
    const char* packet = packets.record(i);
    const calibration::PacketValues p(f.header, packet);
    const py::array pair = TimeService::shared_pair(p.coarse, p.fine);
    const Value epoch = calibration::PacketValues::epoch(times, pair);
    const Value av = f.av.load(packet), au = f.au.load(packet), cr = f.cr.load(packet);

    for (std::size_t k = 0; k < NLEVELS; ++k) {
      char* rec = records.record(counter);
      calibration::store_common(o.common, rec, p, epoch, calibration::scet_of(cuc_to_scet, pair), av, k);
      o.auto_cross_status.store(rec, au, 0);
      o.auto_cross_status.store(rec, cr, 1);
      o.tnr_band.store(rec, band);
      o.agc1.store(rec, f.agc1[k][band].load(packet));
      o.agc2.store(rec, f.agc2[k][band].load(packet));
      if (o.spectra_are_uint16) {
        copy_bins(f.autos1[k][band], packet, 0, 1, o.auto1, rec);
        copy_bins(f.autos2[k][band], packet, 0, 1, o.auto2, rec);
        copy_bins(f.cross[k][band], packet, 0, 2, o.cross_r, rec);
        copy_bins(f.cross[k][band], packet, 1, 2, o.cross_i, rec);
      } else {
        for (std::size_t n = 0; n < NBINS; ++n) {
          o.auto1.store(rec, f.autos1[k][band].load(packet, n), n);
          o.auto2.store(rec, f.autos2[k][band].load(packet, n), n);
          o.cross_r.store(rec, f.cross[k][band].load(packet, 2 * n), n);
          o.cross_i.store(rec, f.cross[k][band].load(packet, 2 * n + 1), n);
        }
      }
      ++counter;
    }
    return counter;
  }
};

py::array decommute(py::object group, py::object task) { return calibration::decommute<TnrCalibration>(group, task); }

}  // namespace

PYBIND11_MODULE(refcheck_lowband, m) {
  ModuleDef def = ModuleDef::with<ModuleComponents>(
      m, "TNR calibration packets into L1 TNR records: nine per enabled band per packet.");
  const ModuleComponents& c = bindings<ModuleComponents>();
  def.def("decommute", &decommute,
          "L1 TNR records of a group of TNR calibration packets: nine per enabled band per packet, in "
          "packet, band and level order. A packet that fails to decode is reported to the task and skipped.",
          py::arg("group"), py::arg("task"))
      .def("create_dtype", &create_dtype, "Create dtype of numpy for the special packet.")
      .def("tnr_setup_dtype", &tnr::tnr_setup_dtype, "Return the TNR setup command dtype.")
      .def("channel_dtype", &channel_dtype, "One channel of a calibration band: its AGC and 8 autos.")
      .def("band_dtype", &band_dtype, "One calibration band: both channels and 8 cross terms (real, imaginary).")
      .def("block_data_dtype", &block_data_dtype, "Calibration spectra: levels \"0\" to \"8\", each with bands a to d.")
      .show_components([&c] {
        auto shown = c.shown();
        shown.insert(shown.end(),
                     {{"tnr_setup", &c.tnr_setup}, {"extract_band", &c.extract_band}, {"tnr_dtype", &c.tnr_dtype}});
        return shown;
      }());
  decom_error = def.error_class("TNRCalibrationDecomError", "Error management for TNR calibration.");
}
