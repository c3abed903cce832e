// What the TNR and HFR calibration decoders share: the components both call, the decommutation
// itself (one packet record per packet, a packet that fails is reported and keeps an all-zero
// row; then the L1 records of every enabled band), the consumed-size rule, the command words of
// the packet header and the L1 fields that both write the same way.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "outside.hpp"
#include "packet_group.hpp"
#include "records.hpp"
#include "report.hpp"
#include "slots.hpp"
#include "thr_packets.hpp"
#include "time_service.hpp"

namespace dravel::thr::calibration {
namespace py = pybind11;

// Calibration levels per packet.
constexpr std::size_t NLEVELS = 9;
// survey_mode of every calibration record.
constexpr std::uint8_t SURVEY_MODE = 2;

// Components both calibration decoders call.
struct CommonComponents : thr::Components {
  Binding voltages{"kesta.dravel.tasks.thr.science_tools", "voltages"};
  Binding voltages_dtype{"kesta.dravel.tasks.thr.science_tools", "voltages_dtype"};

  // The names a calibration module shows these components under.
  std::vector<std::pair<const char*, const Binding*>> shown() const {
    return {{"Data", &Data},
            {"Time", &Time},
            {"set_fillval", &fill_records},
            {"print_exception", &print_exception},
            {"voltages", &voltages},
            {"input_setup", &input_setup},
            {"do_analysis", &do_analysis},
            {"voltages_dtype", &voltages_dtype},
            {"input_setup_dtype", &input_setup_dtype},
            {"do_analysis_dtype", &do_analysis_dtype}};
  }
};

// The common components as their modules hold them at the start of a call.
struct CommonHelpers {
  py::object Data, Time, set_fillval, print_exception, voltages, input_setup, do_analysis;
  py::str u8{"u8"};
  py::int_ zero = py_int(0), eight = py_int(8);

  explicit CommonHelpers(const CommonComponents& c)
      : Data(c.Data.get()),
        Time(c.Time.get()),
        set_fillval(c.fill_records.get()),
        print_exception(c.print_exception.get()),
        voltages(c.voltages.get()),
        input_setup(c.input_setup.get()),
        do_analysis(c.do_analysis.get()) {}

  // The first byte of the data field (the PCB temperature).
  py::object first_byte(const py::object& reader) const { return vcall_method(u8, reader, nullptr, zero, zero, eight); }
};

// The packet record layout: the PCB temperature, the voltages, the decoder's setup command,
// the input setup, the decoder's further commands (`more`), the analysis command, the
// calibration data and the acquisition time words.
inline py::list packet_layout(const CommonComponents& c, py::tuple setup, std::initializer_list<py::tuple> more,
                              py::list data) {
  py::list l;
  l.append(entry("temperature_pcb", "uint8"));
  l.append(entry("voltages", c.voltages_dtype.get()()));
  l.append(std::move(setup));
  l.append(entry("input_setup", c.input_setup_dtype.get()()));
  for (const py::tuple& e : more) l.append(e);
  l.append(entry("do_analysis", c.do_analysis_dtype.get()()));
  l.append(entry("data", std::move(data)));
  l.append(entry("acquisition_time", "uint32", 3));
  return l;
}

// Name of the field of calibration level k ("0" to "8").
inline std::string level_name(std::size_t k) { return format("{0}", k); }

// Bytes a packet's data field takes: the fixed header, the whole bytes of the bit-packed values
// (a trailing partial byte is not counted) and one pad byte when that count is odd.
inline std::uint64_t consumed_size(std::uint64_t offset, std::uint64_t header, std::uint64_t bit_count) {
  const std::uint64_t n = bit_count / 8;
  return offset + header + n + n % 2;
}

// A decoded command word: a tuple, or None when the helper has nothing to say.
inline py::object command(py::object result, const char* what) {
  if (!result.is_none() && !py::isinstance<py::tuple>(result)) {
    fail(PyExc_TypeError, format("{0} returned {1}, not a tuple", what,
                                 std::string(py::str(py::type::handle_of(result).attr("__name__")))));
  }
  return result;
}

// Item k of a command word.
inline py::object item_of(const py::object& cmd, std::size_t k, const char* what) {
  if (cmd.is_none()) fail(PyExc_TypeError, format("{0} returned None, item {1} is needed", what, k));
  return item(py::reinterpret_borrow<py::tuple>(cmd), k, what);
}

// The sub-field `name` of a sub-record field (already resolved with it).
inline const Field& child(const Field& record, const std::string& name) {
  const std::string path = record.path + "." + name;
  for (const Field& c : record.children) {
    if (c.path == path) return c;
  }
  fail(PyExc_KeyError, format("record layout has no field '{0}'", path));
}

// The packet group's parameters a calibration decoder reads.
struct PacketParams {
  const char* count;  // word count per packet; its length is the packet count
  const char* data;   // data words, one row per packet
};

// Decodes every packet of `group` into one record of `layout` (zero-initialised).
//
// Per packet: the reader over its data words goes to decode(reader), which calls the helpers and
// returns the consumed size in bytes; a size that is not twice the word count raises
// `size_error`; then store(record, time) writes the packet record. Any failure of a packet is
// reported through print_exception and task.exception, and its record is left all zero.
// A missing or malformed word-count parameter ends the call; every other parameter is read per
// packet.
template <class Decode, class Store>
RecordArray decode_packets(const CommonHelpers& h, py::handle group, py::handle task, const PacketParams& params,
                           const py::dtype& layout, PyObject* size_error, Decode&& decode, Store&& store) {
  const PacketWalk walk(group, params.count, params.data, h.Data, h.print_exception, task);
  RecordArray packets = RecordArray::zeros(layout, walk.size());
  walk.run([&](std::size_t i) {
    char* rec = packets.record(i);
    try {
      const std::int64_t size = walk.counts().at(i);
      if (size < 0) {
        fail(PyExc_ValueError, format("{0} of packet {1} is {2}, not a word count", params.count, i, size));
      }
      const py::object reader = walk.reader(i, static_cast<std::uint64_t>(size));
      const std::uint32_t* t = walk.time(i);
      PacketWalk::check_size(static_cast<std::uint64_t>(size), decode(reader), size_error,
                             "Expected a size of {0} bytes but have {1}");
      store(rec, t);
    } catch (...) {
      std::memset(rec, 0, packets.itemsize());
      throw;
    }
  });
  return packets;
}

// `number` records of the L1 layout `description`, every field set to its fill value.
inline RecordArray fill_valued_records(const CommonHelpers& h, py::handle description, std::size_t number) {
  RecordArray records = RecordArray::uninitialised(make_layout(description), number);
  h.set_fillval(records.array());
  return records;
}

// Packet record fields of the header both calibration packets have.
struct PacketHeader {
  Field temperature_pcb, acquisition_time, minus5, plus5, plus12;
  CommandFields commands;
  FieldSlots voltages, input_setup, do_analysis;

  explicit PacketHeader(const py::dtype& layout)
      : temperature_pcb(Field::resolve(layout, "temperature_pcb")),
        acquisition_time(Field::resolve(layout, "acquisition_time")),
        minus5(Field::resolve(layout, "voltages.minus5")),
        plus5(Field::resolve(layout, "voltages.plus5")),
        plus12(Field::resolve(layout, "voltages.plus12")),
        commands(layout),
        voltages(Field::resolve(layout, "voltages")),
        input_setup(Field::resolve(layout, "input_setup")),
        do_analysis(Field::resolve(layout, "do_analysis")) {}

  // The acquisition time words go in as given (coarse, fine, synchronisation flag).
  void store_time(char* rec, const std::uint32_t* t) const {
    for (std::size_t k = 0; k < 3; ++k) acquisition_time.store(rec, t[k], k);
  }
};

// The helper results of a packet's header, as decoded.
struct HeaderValues {
  py::object temperature_pcb, voltages, input_setup, do_analysis;

  // The PCB temperature, the voltages (byte 1), then the decoder's setup command (setup()),
  // then the input setup (byte 6).
  template <class Setup>
  void decode(const CommonHelpers& h, const py::object& reader, Setup&& setup) {
    temperature_pcb = h.first_byte(reader);
    voltages = command(vcall(h.voltages, reader, py_int(1)), "voltages");
    setup();
    input_setup = command(vcall(h.input_setup, reader, py_int(6)), "input_setup");
  }
  void decode_analysis(const CommonHelpers& h, const py::object& reader, std::int64_t byte) {
    do_analysis = command(vcall(h.do_analysis, reader, py_int(byte)), "do_analysis");
  }

  void store(const PacketHeader& h, char* rec) const {
    h.temperature_pcb.store(rec, Value::from_python(temperature_pcb, "temperature_pcb"));
    h.voltages.store(rec, voltages);
    h.input_setup.store(rec, input_setup);
    h.do_analysis.store(rec, do_analysis);
  }
};

// Output fields both calibration record types have and fill the same way.
struct CommonOutput {
  Field epoch, acquisition_time, scet, synchro_flag, survey_mode, average_nr, channel_status, calibration_level,
      front_end, sensor_config, temperature;

  explicit CommonOutput(const RecordArray& records)
      : epoch(records.field("epoch")),
        acquisition_time(records.field("acquisition_time")),
        scet(records.field("scet")),
        synchro_flag(records.field("synchro_flag")),
        survey_mode(records.field("survey_mode")),
        average_nr(records.field("average_nr")),
        channel_status(records.field("channel_status")),
        calibration_level(records.field("calibration_level")),
        front_end(records.field("front_end")),
        sensor_config(records.field("sensor_config")),
        temperature(records.field("temperature")) {}
};

inline Value scet_of(const py::object& cuc_to_scet, const py::array& pair) {
  return TimeService::one(vcall(cuc_to_scet, pair), "cuc_to_scet");
}

// What one packet record gives every record of one band.
struct PacketValues {
  std::uint32_t coarse = 0, fine = 0;
  Value synchro, channel_1, channel_2, front_end, sensor_1, sensor_2;
  Value temperature[4];

  PacketValues(const PacketHeader& h, const char* packet) {
    coarse = convert::from<std::uint32_t>(h.acquisition_time.load(packet, 0));
    fine = convert::from<std::uint32_t>(h.acquisition_time.load(packet, 1));
    synchro = h.acquisition_time.load(packet, 2);
    channel_1 = h.commands.ch1.load(packet);
    channel_2 = h.commands.ch2.load(packet);
    front_end = h.commands.fe.load(packet);
    sensor_1 = h.commands.sensor_1.load(packet);
    sensor_2 = h.commands.sensor_2.load(packet);
    temperature[0] = h.temperature_pcb.load(packet);
    temperature[1] = h.minus5.load(packet);
    temperature[2] = h.plus5.load(packet);
    temperature[3] = h.plus12.load(packet);
  }

  // The TT2000 epoch of the packet's time (`pair`), through a double as the records keep it.
  static Value epoch(const TimeService& times, const py::array& pair) {
    return Value::of(convert::from<double>(times.epoch(pair)));
  }
};

// The fields every calibration record has, written the same way for one packet `p`, its epoch
// and scet, its averaging code and calibration level `level`.
inline void store_common(const CommonOutput& c, char* rec, const PacketValues& p, const Value& epoch, const Value& scet,
                         const Value& av, std::size_t level) {
  c.epoch.store(rec, epoch);
  c.acquisition_time.store(rec, p.coarse, 0);
  c.acquisition_time.store(rec, p.fine, 1);
  c.scet.store(rec, scet);
  c.synchro_flag.store(rec, p.synchro);
  c.survey_mode.store(rec, SURVEY_MODE);
  c.average_nr.store(rec, av);
  c.channel_status.store(rec, p.channel_1, 0);
  c.channel_status.store(rec, p.channel_2, 1);
  c.calibration_level.store(rec, level);
  c.front_end.store(rec, p.front_end);
  c.sensor_config.store(rec, p.sensor_1, 0);
  c.sensor_config.store(rec, p.sensor_2, 1);
  for (std::size_t t = 0; t < 4; ++t) c.temperature.store(rec, p.temperature[t], t);
}

// The calibration decommutation. `Decoder` gives the differences of one product:
//   Components (derived from CommonComponents) and Helpers (derived from CommonHelpers, made from
//   them once per call); create_dtype(), l1_layout(helpers); PacketFields (made from the packet
//   layout, with flag[NBANDS]), Decoded, extract_data(helpers, reader, decoded) returning the
//   consumed bytes, store_packet(fields, record, decoded, time); record_number(fields, packets);
//   OutputFields (made from the L1 records) and set_record(..) writing one enabled band's records;
//   params, NBANDS and error() (the size error class).
template <class Decoder>
py::array decommute(py::handle group, py::handle task) {
  const typename Decoder::Helpers h(bindings<typename Decoder::Components>());
  const py::dtype layout = make_layout(Decoder::create_dtype());
  const typename Decoder::PacketFields f(layout);

  typename Decoder::Decoded decoded;
  const RecordArray packets = decode_packets(
      h, group, task, Decoder::params, layout, Decoder::error(),
      [&](const py::object& reader) { return Decoder::extract_data(h, reader, decoded); },
      [&](char* rec, const std::uint32_t* time) { Decoder::store_packet(f, rec, decoded, time); });

  RecordArray records = fill_valued_records(h, Decoder::l1_layout(h), Decoder::record_number(f, packets));
  const typename Decoder::OutputFields o(records);
  const TimeService times(h.Time);
  const py::object cuc_to_scet = h.Time.attr("cuc_to_scet");
  std::uint64_t counter = 0;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    for (std::size_t b = 0; b < Decoder::NBANDS; ++b) {
      if (f.flag[b].load(packets.record(i)).equals_one()) {
        counter = Decoder::set_record(records, o, packets, f, h, times, cuc_to_scet, counter, i, b);
      }
    }
  }
  return records.array();
}

}  // namespace dravel::thr::calibration
